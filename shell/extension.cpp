// The extension messages read by `wexctl`.  The read messages fill the
// sender's block with texts and change nothing of the routing state; the
// command message runs a route or lock text through the same interpreter
// as the control system's commands, so every check of the driver applies,
// and it is refused when it comes from the control system's direction (VEK's
// window, or through the message bridge of attached programs): that side
// has its own command path, with its workstation checks.
#include "shell/extension.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>

#include "config/profile.h"
#include "link/attach.h"
#include "link/bridge.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/bus.h"
#include "platform/dialog.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "shell/shell.h"
#include "ui/maindlg.h"

namespace {

// A bounded text being built in the caller's block.
struct Out {
    char *at;
    size_t size;  // bytes available, the terminator included
    size_t used;
};

// Appends, or appends nothing and returns false when it would not fit.
bool Add(Out *o, const char *format, ...)
{
    if (o->size == 0)
        return false;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(o->at + o->used, o->size - o->used, format, args);
    va_end(args);
    if (n < 0 || o->used + static_cast<size_t>(n) >= o->size) {
        o->at[o->used] = 0;
        return false;
    }
    o->used += static_cast<size_t>(n);
    return true;
}

// The block the message brought, and how much of it may be written: the
// bus's copy (only its first N bytes travel back) or the bridge's text.  A
// message without a block gets nothing, so a number is never an address.
Out BlockOf(UINT code, LPARAM lParam)
{
    bool bridgeText = false;
    size_t size = 0;
    if (lParam == 0)
        size = 0;
    else if (BridgeDelivering(code, lParam, &bridgeText))
        size = bridgeText ? kBridgeTextSize : 0;
    else
        size = BusDeliveryBlockLength();
    return Out{reinterpret_cast<char *>(lParam), size, 0};
}

std::string Shown(int id)
{
    return Dlg.Dialog ? GetDlgItemText(Dlg.Dialog, id) : std::string();
}

LRESULT Info(Out *o)
{
    Add(o, "id=%d\tversion=%s\tvek=0x%08x\tmode=%d\tinterface=%s\tdriver=%s\tcontrol=%s"
           "\tkeyboard=%s\ttx=%s\trx=%s\trevertives=%u\tcommands=%u\tenabled=%d\tsources=%d"
           "\tdests=%d\tdrivermode=%s\tsimulation=%d\n",
        Shell.DriverId, kVersionText, static_cast<unsigned>(Link.VekWindow), Link.TxRxMode,
        Shown(IDC_INTERFACE).c_str(), Shown(IDC_DRIVER).c_str(), Shown(IDC_CONTROL).c_str(),
        Shown(IDC_KEYBOARD).c_str(), Shown(IDC_TXCOUNT).c_str(), Shown(IDC_RXCOUNT).c_str(),
        RevertiveCounter, Commands.CommandCounter, Commands.CommandsEnabled,
        Profile.DatabaseSize_0, Profile.DatabaseSize_1,
        Profile.DriverMode == kDriverExternal ? "EXTERNAL" : "INTERNAL", Profile.Simulation);
    return Shell.DriverId;
}

// The status grid as the window shows it (Com is the row, the profile's
// section Com_n; Port its COM number), and the counters behind it.
LRESULT PortTable(Out *o)
{
    for (int p = 1; p <= kMaxPorts; ++p) {
        const ProtocolOps *ops = ProtocolTable[Profile.Ports[p].Protocol % kProtocolCodes];
        if (!Add(o, "com=%d\tport=%s\tstatus=%s\tmin=%s\tmax=%s\ttally=%s\terrors=%s\tinuse=%d"
                    "\tcommsfail=%d\tnoreply=%d\terrorcount=%u\tprotocol=%s\n",
                 p, Shown(IDC_PORT + p).c_str(), Shown(IDC_STATUS + p).c_str(),
                 Shown(IDC_MIN + p).c_str(), Shown(IDC_MAX + p).c_str(),
                 Shown(IDC_TALLY + p).c_str(), Shown(IDC_ERRORS + p).c_str(), Ports.InUse[p],
                 Ports.CommsFail[p], Ports.NoReply[p], Ports.ErrorCount[p],
                 ops && ops->name ? ops->name : "NONE"))
            return p - 1;
    }
    return kMaxPorts;
}

// Destinations from `first` on, one "dest source lock" line each (the
// tally table: -1 for no known source), as many as fit.
LRESULT Tallies(WPARAM first, Out *o)
{
    int32_t count = 0;
    int32_t last = std::min<int32_t>(Profile.DatabaseSize_1, kTableSize - 1);
    if (first < 1 || first > static_cast<WPARAM>(last))
        return 0;
    for (int32_t d = static_cast<int32_t>(first); d <= last; ++d, ++count) {
        if (!Add(o, "%d %d %d\n", d, Routing.TallyTable[d], Routing.LockTable[d] != 0 ? 1 : 0))
            break;
    }
    return count;
}

// The journal of revertives: entry seq % size holds revertive number seq
// (numbers count from 1 and skip 0 when they wrap).  It starts with the
// first extension message, when a client first looks.
struct JournalEntry {
    uint32_t seq = 0;
    int32_t dest = 0;
    int32_t source = 0;
};
struct Journal {
    JournalEntry entries[kRevertiveJournalSize];
    uint32_t last = 0;
};
Journal J;

void NoteRevertive(int32_t dest, int32_t source)
{
    if (++J.last == 0)
        J.last = 1;
    J.entries[J.last % kRevertiveJournalSize] = JournalEntry{J.last, dest, source};
}

// The revertives after `seen` that the journal still holds, oldest first,
// as many whole lines as fit.  A reader that is further behind than the
// journal reaches sees the gap in the numbers.
LRESULT Revertives(WPARAM seen, Out *o)
{
    uint32_t behind = J.last - static_cast<uint32_t>(seen);  // modulo 2^32
    uint32_t count = std::min({behind, kRevertiveJournalSize, J.last});
    for (uint32_t i = 0; i < count; ++i) {
        const JournalEntry &e = J.entries[(J.last - count + 1 + i) % kRevertiveJournalSize];
        if (e.seq != J.last - count + 1 + i)
            continue;
        if (!Add(o, "%u %d %d\n", e.seq, e.dest, e.source))
            break;
    }
    return static_cast<LRESULT>(static_cast<int32_t>(J.last));
}

bool FromControlSystem(UINT code, LPARAM lParam)
{
    HWND sender = BusDeliverySender();
    return BridgeDelivering(code, lParam) || (sender != 0 && sender == Link.VekWindow);
}

LRESULT Command(UINT code, LPARAM lParam, const Out &o)
{
    if (FromControlSystem(code, lParam))
        return kWexCommandRefused;
    if (o.size == 0)
        return kWexCommandNotAllowed;
    char text[64] = {};
    size_t length = strnlen(o.at, o.size);
    if (length >= sizeof text)
        return kWexCommandNotAllowed;
    std::memcpy(text, o.at, length);
    if (text[0] != 'R' || (text[1] != 'C' && text[1] != 'L') || text[2] != ' ')
        return kWexCommandNotAllowed;
    if (Commands.CommandsEnabled == 0)
        return kWexCommandInhibited;
    ReceiveCommand(text);
    return kWexCommandRun;
}

}  // namespace

bool IsExtensionMessage(UINT message)
{
    return message >= kWexInfo && message <= kWexRevertives;
}

LRESULT ExtensionMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!IsExtensionMessage(message))
        return 0;
    SetRevertiveObserver(NoteRevertive);
    Out o = BlockOf(message, lParam);
    if (message == kWexCommand)
        return Command(message, lParam, o);
    if (o.size == 0)
        return message == kWexRevertives ? Revertives(wParam, &o) : 0;
    o.at[0] = 0;
    switch (message) {
    case kWexRevertives: return Revertives(wParam, &o);
    case kWexInfo: return Info(&o);
    case kWexPorts: return PortTable(&o);
    case kWexTallies: return Tallies(wParam, &o);
    default: return 0;
    }
}

void ExtensionReset()
{
    J = Journal{};
    SetRevertiveObserver(nullptr);
}
