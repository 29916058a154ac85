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
#include "platform/debug.h"
#include "platform/dialog.h"
#include "platform/files.h"
#include "platform/loop.h"
#include "routing/statefiles.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "shell/connect.h"
#include "shell/menu.h"
#include "shell/service.h"
#include "ui/maindlg.h"

int32_t ReadDriverId(const char *commandLine)
{
    return commandLine ? ReadCheckedNumber(commandLine) : 0;
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

// A notice of the file layer (a directory others may write, a profile not
// written back) is an event line, so that it reaches the journal.
void FileNotice(const char *text) { LogEvent(text, 1); }

// Running on would lose what the unreadable file holds (its locks above
// all) at the next save, or run with locks the driver does not know.
void AbandonUnreadableStateFiles()
{
    char text[200];
    std::snprintf(text, sizeof text,
                  "The tally or lock file of device %d exists but cannot be read; the driver "
                  "does not start.",
                  Shell.DriverId);
    MessageBox(Shell.MainWindow, text, "! Error !");
    AbandonStartup();
}

}  // namespace

void StartDriver()
{
    ConnectLayers();
    if (!DriverIdValid()) {
        MessageBox(Shell.MainWindow,
                   "The driver Id supplied as a command line parameter is either missing or invalid!",
                   "! Error !");
        Shell.ExitCode = 2;
        PostQuitMessage(0);
        return;
    }
    SetFileNoticeSink(FileNotice);
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
    // Both files are tried so that the event lines name every unreadable one.
    bool indexRead = LoadIndexFile();
    bool lockRead = LoadLockFile();
    if (indexRead && lockRead)
        CreateMainDialog();  // which loads the index file once more
    if (!StateFilesReadable()) {
        AbandonUnreadableStateFiles();
        return;
    }
    if (!RegisterDevice()) {
        AbandonStartup();
        return;
    }
    if (Profile.FwdBuffDelay > 0)
        StartForwardBuffer();
    if (Profile.FirstVirtual != 0)
        SendRevertives(Profile.FirstVirtual, Profile.DatabaseSize_1, 1, 0);    // Registered and the ports open: the service manager may call us started.
    ServiceReady();
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
    ServiceStopping();
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
    ResetEventPriorities();
}
