// Protocol dispatch: the three places that call a protocol's operations,
// the poll cycle, and the reporting contract every parser follows.
#include "protocols/protocol.h"

#include <cstdio>

#include "link/commands.h"
#include "link/revertive.h"
#include "platform/cells.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/shellstate.h"
#include "routing/tables.h"
#include "serial/ports.h"

ProtocolState Proto;

namespace {
const ProtocolOps *OpsOfPort(int port)
{
    if (port < 1 || port > kMaxPorts)
        return nullptr;
    uint8_t code = Profile.Ports[port].Protocol;
    return code < kProtocolCodes ? ProtocolTable[code] : nullptr;
}

constexpr uintptr_t kPollTimer = 1;
constexpr uint8_t kCodeBtsesswitch = 11;  // driven by its own link, never polled

// The Tally column is only kept up while the operator can see it.
bool GridVisible()
{
    return Dlg.Dialog != 0 && !IsIconic(Shell.MainWindow) && !IsIconic(Dlg.Dialog);
}

void ShowTallyCell(int port, const char *format, int32_t dest)
{
    if (!GridVisible())
        return;
    char text[16];
    std::snprintf(text, sizeof text, format, dest);
    SetDialogText(IDC_TALLY + port, text);
}

// One destination of one port: interrogate it, then move on to the next.
void PollPort(int port)
{
    const PortConfig &config = Profile.Ports[port];
    int32_t &next = Proto.NextPoll[port];
    ShowTallyCell(port, "%d", next);
    if (config.Protocol == kCodeBtsesswitch)
        return;
    const ProtocolOps *ops = OpsOfPort(port);
    if (ops && ops->poll)
        ops->poll(next);
    if (++next > config.MaxDest)
        next = config.MinDest;
    ShowTallyCell(port, "%04d", next);
}

// The tick on which the start-up sweep has covered every destination: poll
// at the steady rate from now on, report everything once, take commands.
void EndSweep()
{
    KillTimer(Dlg.Dialog, kPollTimer);
    SetTimer(Dlg.Dialog, kPollTimer, static_cast<uint32_t>(Profile.TallyDelay));
    Proto.SweepCounter = 0;
    if (Profile.NetUpdateOnStart != 0)
        SendRevertives(1, Profile.DatabaseSize_1, 1, 0);
    Commands.CommandsEnabled = 1;
    char text[16];
    std::snprintf(text, sizeof text, "%08lu", static_cast<unsigned long>(Commands.CommandCounter));
    SetDialogText(IDC_RXCOUNT, text);
}
}  // namespace

void RouteDispatch(int32_t source, int32_t dest)
{
    const ProtocolOps *ops = OpsOfPort(PortForDest(dest));
    if (ops && ops->route)
        ops->route(source, dest);
}

void PollTick()
{
    for (int port = 1; port <= kMaxPorts; ++port)
        if (Ports.InUse[port] == 1)
            PollPort(port);
    if (Proto.SweepCounter > 0 && ++Proto.SweepCounter > Profile.DatabaseSize_1)
        EndSweep();
}

void StartPolling()
{
    if (Profile.Simulation != 0) {
        Commands.CommandsEnabled = 1;  // no router to poll: take commands at once
        return;
    }
    Proto.SweepCounter = 1;
    SetTimer(Dlg.Dialog, kPollTimer, static_cast<uint32_t>(Profile.InitTallyDelay));
}

void ReceiveDispatch(int port, uint8_t byte)
{
    const ProtocolOps *ops = OpsOfPort(port);
    if (ops && ops->receive)
        ops->receive(port, byte);
}

int ReportTally(int port, int32_t dest, int32_t source)
{
    (void)port;
    if (!IsValidDest(dest))
        return 0;
    if (!IsValidSource(source))
        source = -1;
    if (Routing.TallyTable[dest] == source)
        return 0;
    if (Profile.RevertiveDelay != 0) {
        Routing.PendingTable[dest] = source;
        return 1;
    }
    Routing.TallyTable[dest] = source;
    SendRevertives(dest, dest, 1, 0);
    return 1;
}

bool OutsidePort(int port, int32_t dest)
{
    if (port < 1 || port > kMaxPorts)
        return true;
    const PortConfig &config = Profile.Ports[port];
    return dest < config.MinDest || (config.MaxDest >= 1 && dest > config.MaxDest);
}

void AcceptReply(int port)
{
    if (port < 1 || port > kMaxPorts)
        return;
    if (Ports.CommsFail[port] == 1) {
        Ports.CommsFail[port] = 0;
        NotePortError(port);
    }
    Ports.NoReply[port] = 0;
}

void OpenPortPoll(int port)
{
    if (port < 1 || port > kMaxPorts)
        return;
    Proto.NextPoll[port] = Profile.Ports[port].MinDest;
    Proto.RxCount[port] = 0;
}

void ClearPortPoll(int port)
{
    if (port >= 1 && port <= kMaxPorts)
        Proto.NextPoll[port] = 0;
}

void ProtocolReset() { Proto = ProtocolState{}; }
