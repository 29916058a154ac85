// The port manager: the profile's router ports on top of the comms library.
// Everything here runs on the main thread; the reader threads reach it only
// through WM_COMMNOTIFY, which MainWndProc hands to DrainPort.
#include "serial/ports.h"

#include "platform/cells.h"
#include "platform/debug.h"
#include "platform/loop.h"
#include "platform/shellstate.h"
#include "routing/tables.h"
#include "serial/comms.h"

#include <climits>
#include <cstdio>

PortState Ports;

namespace {

PortTransmitHook Hook = nullptr;
PortHooks Above;  // SetPortHooks

constexpr int32_t kDefaultCommErrorLimit = 5;
constexpr int kTxLineBytes = 9;  // bytes shown in the Tx diagnostic line
constexpr uint8_t kProtocolSimple = 3, kProtocolCox = 4;

bool ValidPort(int port) { return port >= 1 && port <= kMaxPorts; }

int ParityCode(char letter)
{
    switch (letter) {
    case 'o': return kParityOdd;
    case 'e': return kParityEven;
    default: return kParityNone;
    }
}

// Opens COM c for port p: the library index, or -1.  SIMPLE and COX read
// their ports themselves, so only the other protocols get WM_COMMNOTIFY.
int OpenOnePort(int comNumber, int port)
{
    const PortConfig &cfg = Profile.Ports[port];
    int baud = cfg.Speed > INT_MAX ? 0 : static_cast<int>(cfg.Speed);
    int index = CommOpen(comNumber, baud, cfg.DataBits, kStopOne, ParityCode(cfg.Parity));
    if (index < 0) {
        DebugPrintf("Can't open serial port %d", comNumber);
        return -1;
    }
    if (cfg.Protocol != kProtocolSimple && cfg.Protocol != kProtocolCox)
        CommSetNotify(index, Shell.MainWindow, 1);
    return index;
}

// "[Port %d] Tx" and the first nine bytes; a shorter frame shows only its
// own bytes, since nothing says the caller's buffer goes on past them.
void LogTransmit(int port, const uint8_t *bytes, int length)
{
    char line[64];
    int used = std::snprintf(line, sizeof line, "[Port %d] Tx", port);
    int shown = length < kTxLineBytes ? length : kTxLineBytes;
    for (int i = 0; i < shown && bytes; ++i)
        used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), " %02x",
                              static_cast<unsigned>(bytes[i]));
    DebugPrint(line);
}

int32_t ErrorLimit()
{
    return Profile.CommErrorLimit >= 1 ? Profile.CommErrorLimit : kDefaultCommErrorLimit;
}

}  // namespace

void SetPortTransmitHook(PortTransmitHook hook) { Hook = hook; }

void SetPortHooks(const PortHooks &hooks) { Above = hooks; }

void OpenPorts()
{
    for (int d = 1; d < kMaxDest; ++d) {
        Routing.TallyTable[d] = 0;
        Routing.LockTable[d] = 0;
    }
    for (int p = 1; p <= kMaxPorts; ++p) {
        Ports.CommIndex[p] = -1;
        if (Profile.Ports[p].Speed != 0)
            Ports.InUse[p] = 1;
        if (Ports.InUse[p] != 1)
            continue;
        Ports.CommsFail[p] = 0;
        if (Above.PortOpening)
            Above.PortOpening(p);
        Ports.ErrorCount[p] = 0;
        Ports.CommIndex[p] = OpenOnePort(Profile.Ports[p].Port, p);
    }
}

void ClosePorts()
{
    for (int p = 1; p <= kMaxPorts; ++p) {
        if (Ports.InUse[p] != 1)
            continue;
        CommClose(Ports.CommIndex[p]);
        Ports.CommIndex[p] = -1;  // a late WM_COMMNOTIFY must not find it
    }
}

void PortTransmit(int port, const uint8_t *bytes, int length)
{
    if (Hook)
        Hook(port, bytes, length);
    if (!ValidPort(port))
        return;
    LogTransmit(port, bytes, length);
    NoteLinkState(port);  // SIMPLE and COX ports have no notifications
    int index = Ports.CommIndex[port];
    if (CommWrite(index, bytes, length) < 1)
        DebugPrintf("Tx Error '0x%04x' on Port %d", static_cast<unsigned>(CommGetStatus(index, nullptr)),
                    port);
    if (Ports.NoReply[port] < INT32_MAX)
        ++Ports.NoReply[port];
    if (Ports.NoReply[port] < ErrorLimit())
        return;
    bool alreadyFailed = Ports.CommsFail[port] == 1;
    Ports.CommsFail[port] = 1;
    NotePortError(port);
    int32_t rxOnlyOn = Profile.GoRxOnlyOnComFail;
    if (!alreadyFailed && (rxOnlyOn == port || rxOnlyOn == 0) && Above.GoRxOnly)
        Above.GoRxOnly();
}

void NotePortError(int port)
{
    if (!ValidPort(port))
        return;
    ++Ports.ErrorCount[port];
    char text[16];
    std::snprintf(text, sizeof text, "%u", Ports.ErrorCount[port]);
    SetDialogText(IDC_ERRORS + port, text);
    char event[48];
    if (Ports.CommsFail[port] == 0) {
        SetDialogText(IDC_STATUS + port, "Ok");
        std::snprintf(event, sizeof event, "Comms ok on port %d", port);
        LogEvent(event, 1);
        Ports.NoReply[port] = 0;
    } else {
        SetDialogText(IDC_STATUS + port, "Fail");
        std::snprintf(event, sizeof event, "Comms fail on port %d", port);
        LogEvent(event, 1);
    }
}

int PortForDest(int32_t dest)
{
    for (int p = 1; p <= kMaxPorts; ++p)
        if (Profile.Ports[p].MinDest <= dest && dest <= Profile.Ports[p].MaxDest)
            return p;
    return 0;
}

int PortByCommIndex(int index)
{
    if (index < 0)
        return 0;  // -1 marks ports that are not open
    for (int p = 1; p <= kMaxPorts; ++p)
        if (Ports.CommIndex[p] == index)
            return p;
    return 0;
}

void NoteLinkState(int port)
{
    if (!ValidPort(port))
        return;
    uint32_t changes = 0;
    int up = CommLinkState(Ports.CommIndex[port], &changes);
    if (up < 0 || changes == Ports.LinkChanges[port])
        return;
    Ports.LinkChanges[port] = changes;
    bool wasLost = Ports.LinkLost[port] != 0;
    bool lost = up == 0;
    // An even number of changes since the last look (a quick drop and
    // return) ends where it began: both lines are still owed.
    int lines = wasLost == lost ? 2 : 1;
    bool lineLost = wasLost == lost ? !wasLost : lost;
    for (int i = 0; i < lines; ++i, lineLost = !lineLost) {
        char event[48];
        std::snprintf(event, sizeof event, lineLost ? "Link lost on port %d" : "Link restored on port %d",
                      port);
        LogEvent(event, 1);
    }
    Ports.LinkLost[port] = lost ? 1 : 0;
}

void DrainPort(int index)
{
    bool followUp = index >= kDrainFollowUp && index < 2 * kDrainFollowUp;
    if (followUp)
        index -= kDrainFollowUp;
    int port = PortByCommIndex(index);
    if (port == 0)
        return;
    NoteLinkState(port);
    // A notification that comes while the follow-up waits is left to it: a
    // read now would only re-arm the reader and fill the queue with more.
    if (!followUp && Ports.FollowUpQueued[port])
        return;
    Ports.FollowUpQueued[port] = 0;
    uint32_t start = GetTickCount();
    int fed = 0;
    uint8_t bytes[256];
    while (fed < kDrainBytes) {
        int n = CommRead(Ports.CommIndex[port], bytes, static_cast<int>(sizeof bytes));
        if (n <= 0) {
            CommGetStatus(Ports.CommIndex[port], nullptr);
            return;
        }
        for (int i = 0; i < n && Above.ReceiveByte; ++i)
            Above.ReceiveByte(port, bytes[i]);
        fed += n;
        if (GetTickCount() - start >= kDrainMs)
            break;
    }
    // More may wait: come back after whatever else the loop has queued.
    Ports.FollowUpQueued[port] =
        PostMessage(Shell.MainWindow, WM_COMMNOTIFY, static_cast<WPARAM>(index + kDrainFollowUp), 0);
}

void ForgetPort(int port)
{
    if (!ValidPort(port))
        return;
    Ports.InUse[port] = 0;
    Ports.CommIndex[port] = -1;  // "no library index"
    Ports.CommsFail[port] = 0;
    Ports.ErrorCount[port] = 0;
}

void PortsReset() { Ports = PortState{}; }
