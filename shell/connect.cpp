// The wiring of the layers: each lower layer's hooks get the functions of
// the layers above that it used to call by name, so the calls happen where
// and in the order they always did.  See docs/architecture.md.
#include "shell/connect.h"

#include "config/paths.h"
#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "ui/maindlg.h"

namespace {

// A port read afresh from the profile, in the port manager and the protocols.
void ClearPort(int port)
{
    ForgetPort(port);
    ClearPortPoll(port);
}

void SetWorkStation(int32_t number) { Link.WorkStation = number; }

void GoRxOnly() { SetTxRxMode(1); }

}  // namespace

void ConnectLayers()
{
    SetDebugModeSource(&Profile.DebugMode);
    SetSelectedDestView(DrawSelectedDest);
    SetWorkstationAccessTable(Commands.WorkstationAccess);
    RoutingHooks routing;
    routing.SendRevertives = SendRevertives;
    routing.RouteCommand = RouteCommand;
    SetRoutingHooks(routing);
    ProfileHooks profile;
    profile.ClearPort = ClearPort;
    profile.SetWorkStation = SetWorkStation;
    SetProfileHooks(profile);
    PortHooks ports;
    ports.PortOpening = OpenPortPoll;
    ports.ReceiveByte = ReceiveDispatch;
    ports.GoRxOnly = GoRxOnly;
    SetPortHooks(ports);
    SetRouteDispatcher(RouteDispatch);
}
