// Protocol dispatch: the three places that call a protocol's operations,
// the poll cycle, and the reporting contract every parser follows.
#include "protocols/protocol.h"

#include "link/revertive.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "ui/maindlg.h"

ProtocolState Proto;

namespace {
const ProtocolOps *OpsOfPort(int port)
{
    if (port < 1 || port > kMaxPorts)
        return nullptr;
    uint8_t code = Profile.Ports[port].Protocol;
    return code < kProtocolCodes ? ProtocolTable[code] : nullptr;
}
}  // namespace

void RouteDispatch(int32_t source, int32_t dest)
{
    const ProtocolOps *ops = OpsOfPort(PortForDest(dest));
    if (ops && ops->route)
        ops->route(source, dest);
}

void PollTick() {}     // STUB: the poll cycle is being built
void StartPolling() {} // STUB

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

void ProtocolReset() { Proto = ProtocolState{}; }
