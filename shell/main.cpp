// wex [options] ID: the router driver for one device.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/bus.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "shell/shell.h"
#include "shell/status.h"
#include "ui/view.h"

namespace {

const char kUsage[] =
    "Usage: wex [options] ID\n"
    "Router driver for one device of the ZOLT control system.\n"
    "\n"
    "  ID            driver Id, 1..999 (the leading number of the remaining text)\n"
    "  --headless    run without the operator window\n"
    "  --root DIR    root directory standing for the Windows directory\n"
    "                (default: $ZOLT_ROOT, else /var/lib/zolt)\n"
    "  --status SECS headless: print a one-line status every SECS seconds\n"
    "  --help        show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Files in the root: zolt_config.ini, KALDERA.INI, DEV_nnn.INI/.DAT/.LCK.\n"
    "The message bus lives in $ZOLT_BUS, else <root>/bus.\n"
    "SIGTERM, SIGINT and SIGHUP shut the driver down cleanly.\n";

struct Options {
    bool headless = false;
    const char *root = nullptr;
    int statusSeconds = 0;
    std::string idText;
};

// Options start with "--" and may stand anywhere; the rest is the Id text.
int ParseOptions(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(a, "--version") == 0) {
            std::printf("wex %s\n", kVersionText);
            return 0;
        }
        if (std::strcmp(a, "--headless") == 0) {
            o->headless = true;
        } else if (std::strcmp(a, "--root") == 0 && i + 1 < argc) {
            o->root = argv[++i];
        } else if (std::strcmp(a, "--status") == 0 && i + 1 < argc) {
            o->statusSeconds = std::atoi(argv[++i]);
        } else if (std::strncmp(a, "--root=", 7) == 0) {
            o->root = a + 7;
        } else if (std::strncmp(a, "--", 2) == 0) {
            std::fprintf(stderr, "wex: unknown option %s\n%s", a, kUsage);
            return 64;
        } else {
            if (!o->idText.empty())
                o->idText += ' ';
            o->idText += a;
        }
    }
    return -1;
}

void OnSignal(int fd, void *)
{
    signalfd_siginfo info;
    if (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        BusStopTaken();  // the shutdown's own sends wait for their replies again
        PostMessage(Shell.MainWindow, WM_CLOSE, 0, 0);
    }
}

// A stop request that arrives during a wait for a bus reply is acted on as
// soon as that wait ends: the bus watches the signal descriptor too.
void WatchSignals()
{
    signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd >= 0 && LoopAddFd(fd, OnSignal, nullptr))
        BusWatchStop(fd);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    int early = ParseOptions(argc, argv, &o);
    if (early >= 0)
        return early;
    bool withView = !o.headless && ViewAvailable();
    if (withView)
        ViewInitialise(&argc, argv);
    SetRootDirectory(o.root);
    Shell.DriverId = ReadDriverId(o.idText.c_str());
    // An invalid Id ends the program before anything is created: no bus
    // socket, no file.
    if (Shell.DriverId < 1 || Shell.DriverId > 999) {
        MessageBox(0, "The driver Id supplied as a command line parameter is either missing or invalid!",
                   "! Error !");
        return 2;
    }
    WatchSignals();
    std::string error;
    if (!BusOpen(&error)) {
        std::fprintf(stderr, "wex: cannot join the message bus: %s\n", error.c_str());
        return 3;
    }
    int code = 0;
    if (!withView)
        StartStatusLine(o.statusSeconds);
    if (CreateMainWindow()) {
        if (withView && Shell.ExitCode == 0)
            code = ViewRun();
        else
            code = LoopRun();
    } else if (Shell.MainWindow == 0) {
        // Without its socket nobody can reach the driver: say why and fail,
        // so that a service manager sees it.
        std::fprintf(stderr, "wex: cannot create the main window: %s\n", BusLastError().c_str());
        code = 3;
    }
    BusClose();
    return Shell.ExitCode != 0 ? Shell.ExitCode : code;
}
