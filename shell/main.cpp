// wex [options] ID: the router driver for one device.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/bus.h"
#include "platform/daemon.h"
#include "platform/debug.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "shell/service.h"
#include "shell/shell.h"
#include "shell/status.h"
#include "ui/about.h"
#include "ui/view.h"

namespace {

constexpr int kMaxStatusSeconds = 86400;

const char kUsage[] =
    "Usage: wex [options] ID\n"
    "Router driver for one device of the ZOLT control system.\n"
    "\n"
    "  ID            driver Id, 1..999 (the leading number of the remaining text)\n"
    "  --headless    run without the operator window (so does a run whose\n"
    "                display cannot be reached, saying so, and one with no\n"
    "                display named); a headless run loads no Qt library\n"
    "  --root DIR    root directory standing for the Windows directory\n"
    "                (default: $ZOLT_ROOT, else /var/lib/zolt)\n"
    "  --status SECS headless: print a one-line status every SECS seconds\n"
    "                (0 to 86400; 0: none)\n"
    "  --help        show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Files in the root: zolt_config.ini, KALDERA.INI, DEV_nnn.INI/.DAT/.LCK.\n"
    "The message bus lives in $ZOLT_BUS, else <root>/bus.\n"
    "SIGTERM, SIGINT and SIGHUP shut the driver down cleanly, window or not.\n"
    "Under systemd (wex@.service) it reports readiness, status and watchdog\n"
    "through NOTIFY_SOCKET, and line priorities to the journal.\n";

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
            // Checked, not wrapped: 4294967297 is not 1 second.  Only
            // digits: "5m" is not 5 seconds, nor "abc" no status line.
            const char *text = argv[++i];
            o->statusSeconds = ReadCheckedNumber(text);
            bool digits = *text && std::strspn(text, "0123456789") == std::strlen(text);
            if (!digits || o->statusSeconds < 0 || o->statusSeconds > kMaxStatusSeconds) {
                std::fprintf(stderr, "wex: --status takes 0 to %d seconds\n%s", kMaxStatusSeconds,
                             kUsage);
                return 64;
            }
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

// Called first thing: every thread inherits the signal mask of the thread
// that starts it, and a thread that leaves the stop signals unblocked (the
// window system's reader threads) would take them with their default action,
// ending the program without its shutdown.  A stop request that arrives
// during a wait for a bus reply is acted on as soon as that wait ends: the
// bus watches the signal descriptor too, and so does an open message box.
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
    if (fd >= 0 && LoopAddFd(fd, OnSignal, nullptr)) {
        SetStopDescriptor(fd);
        BusWatchStop(fd);
    }
}

// The window when a display can be reached and the window module loads;
// otherwise null, with one line saying why when a display was asked for.
const ViewModule *OpenView(int *argc, char **argv)
{
    std::string why;
    if (!DisplayReachable(&why)) {
        if (!why.empty())
            std::fprintf(stderr, "wex: %s; running headless\n", why.c_str());
        return nullptr;
    }
    const ViewModule *view = ViewLoad(&why);
    if (!view) {
        std::fprintf(stderr, "wex: no operator window (%s); running headless\n", why.c_str());
        return nullptr;
    }
    if (!view->initialise(argc, argv)) {
        std::fprintf(stderr, "wex: the display refused the window; running headless\n");
        return nullptr;
    }
    return view;
}

// True while the window's event loop runs.
bool ViewRunning = false;

// The window system may end the program itself: Qt calls exit() when the
// X server goes away (a logout, a crashed server), which would skip the
// shutdown and lose every change since the last save.  The shutdown runs
// here instead, with nothing left that draws (its boxes go to standard
// error), and the program then ends with Qt's status.
void ShutdownOnDisplayLoss()
{
    if (!ViewRunning)
        return;
    ViewRunning = false;
    SetMessageBoxHook(nullptr);
    SetAboutRunner(nullptr);
    std::fprintf(stderr, "%swex: the display went away; shutting down\n", JournalPrefix(kLogWarning));
    ShutdownDriver();
    BusClose();
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    int early = ParseOptions(argc, argv, &o);
    if (early >= 0)
        return early;
    WatchSignals();
    const ViewModule *view = o.headless ? nullptr : OpenView(&argc, argv);
    SetRootDirectory(o.root);
    Shell.DriverId = ReadDriverId(o.idText.c_str());
    // An invalid Id ends the program before anything is created: no bus
    // socket, no file.
    if (Shell.DriverId < 1 || Shell.DriverId > 999) {
        MessageBox(0, "The driver Id supplied as a command line parameter is either missing or invalid!",
                   "! Error !");
        return 2;
    }
    std::string error;
    if (!BusOpen(&error)) {
        std::fprintf(stderr, "%swex: cannot join the message bus: %s\n", JournalPrefix(kLogError),
                     error.c_str());
        return 3;
    }
    int code = 0;
    if (!view)
        StartStatusLine(o.statusSeconds);
    ServiceStartWatchdog();
    if (CreateMainWindow()) {
        if (view && Shell.ExitCode == 0) {
            ViewRunning = true;
            std::atexit(ShutdownOnDisplayLoss);
            code = view->run();
            ViewRunning = false;
        } else
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
