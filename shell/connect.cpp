#include "shell/connect.h"

#include "config/paths.h"
#include "config/profile.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "routing/tables.h"
#include "ui/maindlg.h"

void ConnectLayers()
{
    SetDebugModeSource(&Profile.DebugMode);
    SetSelectedDestView(DrawSelectedDest);
    SetWorkstationAccessTable(Commands.WorkstationAccess);
    RoutingHooks routing;
    routing.SendRevertives = SendRevertives;
    routing.RouteCommand = RouteCommand;
    SetRoutingHooks(routing);
}
