// The command interpreter.  The control system and the keyboard panel speak
// in short texts: a keyword of two letters, a blank, blank-separated fields
// (a quoted field may hold blanks), for example
//
//     RC 7 3 12 ',---' 4     route source 3 to destination 12 of device 7,
//                            asked by workstation 4
//
// The first letter is R or X (the same command either way); the second says
// which: C route, F refresh, L lock, P report one by one, Q report as a
// batch.  Every command is checked against the device and the workstation's
// right to command this driver before anything is touched; a command that
// fails a check is dropped and only the debug output shows it.
#include "link/commands.h"

#include "config/paths.h"
#include "config/profile.h"
#include "link/attach.h"
#include "link/revertive.h"
#include "link/zoltif.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "platform/loop.h"
#include "platform/shellstate.h"
#include "routing/statefiles.h"
#include "routing/tables.h"
#include "serial/ports.h"

#include <cstdio>
#include <cstring>
#include <string>

CommandState Commands;

namespace {

RouteDispatcher Dispatcher = nullptr;  // SetRouteDispatcher

void DispatchRoute(int32_t source, int32_t dest)
{
    if (Dispatcher)
        Dispatcher(source, dest);
}

constexpr size_t kCommandSize = 512;  // a received command: 511 characters at most
constexpr int kForwardSlots = 32;
constexpr size_t kForwardSlotSize = 64;
constexpr uintptr_t kForwardTimer = 4;
constexpr UINT kMsgRouteToExternal = 2738;
constexpr UINT kMsgCommandToExternal = 2740;

static_assert(sizeof Commands.ForwardBuffer == kForwardSlots * kForwardSlotSize);

// Copies at most size - 1 characters and always terminates.
void CopyBounded(char *to, size_t size, const char *from)
{
    size_t n = std::strlen(from);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(to, from, n);
    to[n] = 0;
}

// How many fields the interpreter reads from a command text.
int FieldsRead(const char *text)
{
    if (text[0] != 'R' && text[0] != 'X')
        return 0;
    switch (text[1]) {
    case 'C':
    case 'L':
        return 5;
    case 'P':
    case 'Q':
        return 4;
    case 'F':
        return 2;
    default:
        return 0;
    }
}

// Whether the first `limit` characters of a command read the same fields
// as the whole of it.  A cut that ends inside a field, or before it, would
// read the workstation as missing (0, the panel's own, always obeyed) or
// as a shorter number, or leave the field store's earlier contents in
// place: the command would say something it did not.  Text past the last
// field read may go.  The shared field store is left as it was.
bool CutKeepsFields(const char *text, size_t limit)
{
    int fields = FieldsRead(text);
    if (std::strlen(text) <= limit || fields == 0)
        return true;
    char savedText[kFieldSlots][kFieldTextSize];
    int32_t savedValue[kFieldSlots];
    std::memcpy(savedText, FieldText, sizeof savedText);
    std::memcpy(savedValue, FieldValue, sizeof savedValue);
    char cutFields[kFieldSlots][kFieldTextSize];
    std::string cut(text, limit);
    for (int pass = 0; pass < 2; ++pass) {
        // A slot the scan does not reach keeps this mark, which no field
        // can read as (an apostrophe always opens a quote).
        for (int i = 0; i < fields; ++i)
            std::snprintf(FieldText[i], kFieldTextSize, "'");
        SplitCommandFields(pass == 0 ? cut.c_str() : text, fields);
        if (pass == 0)
            std::memcpy(cutFields, FieldText, sizeof cutFields);
    }
    bool same = true;
    for (int i = 0; i < fields; ++i)
        same = same && std::strcmp(cutFields[i], FieldText[i]) == 0;
    std::memcpy(FieldText, savedText, sizeof savedText);
    std::memcpy(FieldValue, savedValue, sizeof savedValue);
    return same;
}

// The device must be ours and the workstation one we obey.
bool PassesGate(int32_t device, int32_t workstation)
{
    if (device != Shell.DriverId)
        return false;
    if (workstation < 0 || workstation >= kWorkstations)
        return false;
    return Commands.WorkstationAccess[workstation] == 1;
}

// Whether the driver itself vouches for a route it sent through this port:
// in DRIVER revertive mode while the link is up, and always in simulation.
bool SelfUpdates(int port)
{
    if (Profile.Simulation != 0)
        return true;
    bool failed = port >= 1 && port <= kMaxPorts && Ports.CommsFail[port] != 0;
    return Profile.RevertiveMode == kRevertiveDriver && !failed;
}

void RouteToExternal(int32_t dest, int32_t source)
{
    ZOLT32TxMessage(Shell.ExternalDriverWindow, kMsgRouteToExternal,
                    static_cast<WPARAM>(static_cast<uint32_t>(dest)), static_cast<LPARAM>(source),
                    0, 0);
}

// Source s onto destination d, as the control system means it.
void RouteDirect(int32_t s, int32_t d)
{
    int port = PortForDest(d);
    if (Profile.Simulation == 0 && (Routing.TallyTable[d] != s || Profile.ReAssert != 0)) {
        if (Profile.DriverMode == kDriverExternal) {
            RouteToExternal(d, s);
        } else {
            DebugPrintf("ROUTING %d to %d", s, d);
            DispatchRoute(s, d);
            if (Routing.TallyTable[d] == s && Profile.ReAssert != 0)
                SendRevertives(d, d, 1, 0);
        }
    }
    if (!SelfUpdates(port))
        return;
    if (Profile.RevertiveDelay != 0) {
        Routing.PendingTable[d] = s;
    } else if (Profile.Simulation != 0 && Profile.ReAssert == 0 && Routing.TallyTable[d] == s) {
        // nothing changed and nothing is re-asserted
    } else {
        Routing.TallyTable[d] = s;
        SendRevertives(d, d, 1, 0);
    }
}

// The same command read the other way round: d is the source on the
// router and s the destination.  Its self-update is never delayed.
void RouteReversed(int32_t s, int32_t d)
{
    int port = PortForDest(s);
    if (Profile.Simulation == 0 && (Routing.TallyTable[s] != d || Profile.ReAssert != 0)) {
        if (Profile.DriverMode == kDriverExternal)
            RouteToExternal(s, d);
        else
            DispatchRoute(d, s);
    }
    if (Routing.TallyTable[s] == d && Profile.ReAssert != 0)
        SendRevertives(s, s, 1, 0);
    if (SelfUpdates(port)) {
        Routing.TallyTable[s] = d;
        SendRevertives(s, s, 1, 0);
    }
}

// RF: device, workstation.
void RefreshCommand(const char *text)
{
    SplitCommandFields(text, 2);
    int32_t device = FieldNumber(0);
    int32_t w = FieldNumber(1);
    if (!PassesGate(device, w))
        return;
    LoadWorkstationAccess();
    SendRevertives(1, Profile.DatabaseSize_1, 1, static_cast<uint32_t>(w));
}

// RL: device, first, last, lock state, workstation.
void LockCommand(const char *text)
{
    DebugPrint(text);
    SplitCommandFields(text, 5);
    int32_t device = FieldNumber(0);
    int32_t first = FieldNumber(1);
    int32_t last = FieldNumber(2);
    int32_t state = FieldValue[3];  // stored as it reads, unchecked
    int32_t w = FieldNumber(4);
    if (!PassesGate(device, w) || !IsValidDest(first) || !IsValidDest(last))
        return;
    for (int32_t d = first; d <= last; ++d)
        Routing.LockTable[d] = state;
    ShowSelectedDest();
    SaveLockFile();
}

// RP (kind 1) and RQ (kind 2): device, first, last, workstation.
void ReportCommand(const char *text, int kind)
{
    SplitCommandFields(text, 4);
    int32_t device = FieldNumber(0);
    int32_t first = FieldNumber(1);
    int32_t last = FieldNumber(2);  // one too large for 32 bits reads as the end
    int32_t w = FieldNumber(3);
    if (!PassesGate(device, w) || !IsValidDest(first))
        return;
    if (last > Profile.DatabaseSize_1)
        last = Profile.DatabaseSize_1;
    if (last >= first)
        SendRevertives(first, last, kind, static_cast<uint32_t>(w));
}

// An EXTERNAL driver program sees every command too.  It gets a copy: the
// interface hands back whatever the program left in the block.
void PassToExternal(const char *text)
{
    if (Shell.ExternalDriverWindow == 0)
        return;
    char copy[kCommandSize];
    CopyBounded(copy, sizeof copy, text);
    ZOLT32TxMessage(Shell.ExternalDriverWindow, kMsgCommandToExternal, 0,
                    reinterpret_cast<LPARAM>(copy), 1,
                    static_cast<uint32_t>(std::strlen(copy) + 1));
}

void ShowCounter(uint32_t counter)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08lu", static_cast<unsigned long>(counter));
    SetDialogText(IDC_RXCOUNT, text);
}

}  // namespace

void ReceiveCommand(const char *text)
{
    if (text == nullptr)
        return;
    if (Commands.CommandsEnabled == 0) {
        SetDialogText(IDC_RXCOUNT, "Inhibit");
        return;
    }
    char command[kCommandSize] = {};
    CopyBounded(command, sizeof command, text);
    DebugPrint(command);
    if (!CutKeepsFields(text, sizeof command - 1))
        DebugPrint("Dropped - cut to 511 characters it would read other fields");
    else if (Profile.FwdBuffDelay > 0 && command[0] != 0 && command[1] == 'C')
        QueueCommand(command);
    else
        InterpretCommand(command);
    ++Commands.CommandCounter;
    ShowCounter(Commands.CommandCounter);
}

void InterpretCommand(const char *text)
{
    if (text == nullptr || (text[0] != 'R' && text[0] != 'X'))
        return;
    DebugPrintf("Parsing - [%s]", text);
    if (Profile.DriverMode == kDriverExternal)
        PassToExternal(text);
    switch (text[1]) {
    case 'C':
        if (Profile.FirstVirtual != 0)
            RouteVirtual(text);
        else
            RouteCommand(text);
        break;
    case 'F':
        RefreshCommand(text);
        break;
    case 'L':
        LockCommand(text);
        break;
    case 'P':
        ReportCommand(text, 1);
        break;
    case 'Q':
        ReportCommand(text, 2);
        break;
    default:
        break;
    }
}

void RouteCommand(const char *text)
{
    if (text == nullptr)
        return;
    // The field store is shared: take the values before anything can
    // deliver another command into it.
    SplitCommandFields(text, 5);
    int32_t device = FieldNumber(0);
    int32_t s = FieldNumber(1);
    int32_t d = FieldNumber(2);
    int32_t w = FieldNumber(4);
    if (s == 0)
        s = Profile.ParkSource;
    if (PassesGate(device, w)) {
        if (Profile.SourceToDest != 0 && IsValidSource(s) && IsValidDest(d) &&
            Routing.LockTable[d] == 0)
            RouteDirect(s, d);
        if (Profile.DestToSource != 0 && IsValidSource(d) && IsValidDest(s) &&
            Routing.LockTable[s] == 0)
            RouteReversed(s, d);
    }
    ShowSelectedDest();
}

void RouteFromExternal(int32_t destination, int32_t source)
{
    char command[96];
    std::snprintf(command, sizeof command, "RC %d %d %d ',---' %d", Shell.DriverId, source,
                  destination, Link.WorkStation);
    RouteCommand(command);
}

// A period below 0 (an operator's typo in the profile) is no period: it
// would queue routes that no timer ever drains, so commands run at once.
void StartForwardBuffer()
{
    std::memset(Commands.ForwardBuffer, 0, sizeof Commands.ForwardBuffer);
    Commands.ForwardWrite = 0;
    Commands.ForwardRead = 0;
    // The pacing timer belongs to the main dialog; without one (or without a
    // delay) queued commands wait until a drain is run by hand.
    if (Dlg.Dialog != 0 && Profile.FwdBuffDelay > 0)
        SetTimer(Dlg.Dialog, kForwardTimer, static_cast<uint32_t>(Profile.FwdBuffDelay));
}

void QueueCommand(const char *text)
{
    if (text == nullptr)
        return;
    if (!CutKeepsFields(text, kForwardSlotSize - 1)) {
        DebugPrint("Not queued - cut to 63 characters it would read other fields");
        return;
    }
    int slot = Commands.ForwardWrite;
    if (slot < 0 || slot >= kForwardSlots)
        slot = 0;
    // A slot still waiting is overwritten: the newest command wins.
    CopyBounded(Commands.ForwardBuffer[slot], kForwardSlotSize, text);
    Commands.ForwardWrite = (slot + 1) % kForwardSlots;
}

void DrainForwardBuffer()
{
    if (Commands.ForwardRead < 0 || Commands.ForwardRead >= kForwardSlots)
        Commands.ForwardRead = 0;
    for (int looked = 0; looked < kForwardSlots; ++looked) {
        char *slot = Commands.ForwardBuffer[Commands.ForwardRead];
        Commands.ForwardRead = (Commands.ForwardRead + 1) % kForwardSlots;
        if (slot[0] == 0)
            continue;
        // Empty the slot before running it: a command delivered while this
        // one is carried out may be queued into the same slot.
        char command[kForwardSlotSize];
        CopyBounded(command, sizeof command, slot);
        slot[0] = 0;
        InterpretCommand(command);
        return;
    }
}

void SetRouteDispatcher(RouteDispatcher dispatcher) { Dispatcher = dispatcher; }

void CommandsReset() { Commands = CommandState{}; }
