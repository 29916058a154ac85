#include "tests/support/modules.h"

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "protocols/protocol.h"
#include "routing/statefiles.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "shell/extension.h"
#include "shell/shell.h"
#include "ui/maindlg.h"

void ResetDriverState()
{
    ProfileReset();
    RoutingReset();
    PortsReset();
    ProtocolReset();
    CommandsReset();
    LinkReset();
    ShellReset();
    RevertiveReset();
}

void ResetModules()
{
    LoopReset();
    UiModelReset();
    ResetDriverState();
    DialogReset();
    ExtensionReset();
    StateFilesReset();
}

void UseHbxrcp16x32(int port)
{
    Profile.DatabaseSize_0 = 16;
    Profile.DatabaseSize_1 = 32;
    Profile.HBXRCP_Levels = 1;
    if (port < 1 || port > kMaxPorts)
        return;
    Profile.Ports[port].Port = port;
    Profile.Ports[port].MinDest = 1;
    Profile.Ports[port].MaxDest = 32;
    Profile.Ports[port].Protocol = 1;
    Ports.InUse[port] = 1;
}

std::string DebugText(const char *line)
{
    std::string text = line;
    if (text.rfind("<WE>-", 0) == 0)
        text.erase(0, 5);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}
