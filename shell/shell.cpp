// Start-up and shutdown in their fixed orders, and the main window.
#include "shell/shell.h"

#include <cstdio>
#include <cstring>

#include "config/paths.h"
#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "link/zoltif.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "routing/statefiles.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "shell/debug.h"
#include "shell/menu.h"
#include "ui/maindlg.h"

ShellState Shell;

int32_t ReadDriverId(const char *commandLine)
{
    return commandLine ? ReadNumber(commandLine) : 0;
}

int CreateMainWindow()
{
    Shell.MainWindow = CreateWindowProc(MainWndProc, true);
    if (Shell.MainWindow == 0)
        return 0;
    StartDriver();
    return 1;
}

namespace {

// The shell's own set-up: attachments cleared, title, menu, event line.
void InitShell()
{
    Shell.ExternalDriverWindow = 0;
    Shell.ControlWindow = 0;
    Shell.NoticeDatabase = 0;
    Shell.NoticeIndex = 0;
    char title[80];
    std::snprintf(title, sizeof title, "W.E.X. v%s - Device %d", kVersionText, Shell.DriverId);
    SetWindowText(Shell.MainWindow, title);
    // The custom-control library has no counterpart here, but its path is
    // still looked up so that the paths file documents SystemPath.
    char systemPath[256];
    ReadSystemPath(systemPath, 255);
    BuildMainMenu();
    for (int id = kMenuSourceBox; id <= kMenuLock; ++id)
        EnableMenuItem(id, false);
    DrawMenuBar();
    LogEvent("WEX running...", 1);
}

bool DriverIdValid() { return Shell.DriverId >= 1 && Shell.DriverId <= 999; }

}  // namespace

void StartDriver()
{
    if (!DriverIdValid()) {
        MessageBox(Shell.MainWindow,
                   "The driver Id supplied as a command line parameter is either missing or invalid!",
                   "! Error !");
        Shell.ExitCode = 2;
        PostQuitMessage(0);
        return;
    }
    InitShell();
    if (!LoadDeviceProfile()) {
        AbandonStartup();
        return;
    }
    if (Profile.DriverMode == kDriverInternal && Profile.Simulation == 0)
        OpenPorts();
    if (!AttachToVek()) {
        AbandonStartup();
        return;
    }
    LoadIndexFile();
    LoadLockFile();
    CreateMainDialog();
    if (!RegisterDevice()) {
        AbandonStartup();
        return;
    }
    if (Profile.FwdBuffDelay != 0)
        StartForwardBuffer();
    if (Profile.FirstVirtual != 0)
        SendRevertives(Profile.FirstVirtual, Profile.DatabaseSize_1, 1, 0);
}

void AbandonStartup()
{
    if (Shell.ExitCode == 0)
        Shell.ExitCode = 1;
    ShutdownDriver();
}

void ShutdownDriver()
{
    // A close request that arrives while shutting down changes nothing.
    if (Shell.ShuttingDown)
        return;
    Shell.ShuttingDown = true;
    LogEvent("WEX closing...", 1);
    if (Link.VekWindow != 0)
        DeregisterDevice();
    if (Profile.DriverMode == kDriverExternal && Shell.ExternalDriverWindow != 0)
        ZOLT32TxMessage(Shell.ExternalDriverWindow, 2175, 0, 0, 0, 0);
    // The tables are saved before the ports close: closing waits for each
    // port's reader, and nothing the ports could still bring is drained
    // after this point anyway.  The saves do nothing unless the files were
    // loaded in this run, so an abandoned start-up never overwrites the
    // stored tables.
    SaveIndexFile();
    SaveLockFile();
    if (Profile.DriverMode == kDriverInternal)
        ClosePorts();
    StopDialogTimers();
    PostQuitMessage(0);
}

void TallyText(int32_t destination, char *buffer, size_t size)
{
    if (destination <= 0 || destination >= 4096 || !buffer || size == 0)
        return;
    std::snprintf(buffer, size, "%d", Routing.TallyTable[destination]);
}

void ShellReset()
{
    Shell = ShellState{};
}
