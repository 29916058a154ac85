// A whole site for end-to-end tests: a fresh root, the VEK stand-in, router
// simulators on pseudo-terminals and the driver, each its own process.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "tests/support/support.h"

struct Site {
    TempRoot root;
    Child vek;
    std::map<int, Child> routers;  // by COM number
    std::map<std::string, Child> drivers;
    // Drivers start without root's right to ignore file modes.
    bool driversWithoutFileRights = false;
    // Words put before the driver's command line (a tracer, say).
    std::vector<std::string> driverPrefix;
    // How drivers start: headless (the default), or with the window on the
    // display named in driverEnv ("DISPLAY=:N").
    bool driverHeadless = true;
    std::vector<std::string> driverEnv;

    Site();
    ~Site();
    std::string Path(const std::string &name) const { return root.File(name); }
    // Writes DEV_<id>.INI with the given text.
    void WriteProfile(int id, const std::string &text);
    // Starts vek and waits for its READY line.
    bool StartVek(const std::vector<std::string> &extra = {});
    // Starts a router of the protocol on COM n (a pty linked at <root>/ttyCOMn
    // and named in the paths file) and waits for READY.
    bool StartRouter(int com, const std::string &protocol, int sources, int dests,
                     const std::vector<std::string> &extra = {});
    // Starts `wex --headless --root <root> <id>` (no --headless when
    // driverHeadless is false) under the given name.
    bool StartDriver(const std::string &name, const std::string &idText,
                     const std::vector<std::string> &extra = {});
    Child &Driver(const std::string &name = "wex") { return drivers[name]; }
    // Sends a control line to vek.
    void Vek(const std::string &line);
    void Router(int com, const std::string &line);
    std::string VekLog() const { return ChildOutput(vek); }
    std::string RouterLog(int com) { return ChildOutput(routers[com]); }
    std::string DriverErrors(const std::string &name = "wex") { return ChildErrors(drivers[name]); }
    // Waits until vek has logged `count` lines containing text.
    bool WaitVek(const std::string &text, size_t count = 1, int timeoutMs = 15000);
    bool WaitRouter(int com, const std::string &text, size_t count = 1, int timeoutMs = 15000);
    bool WaitDriverErrors(const std::string &text, const std::string &name = "wex",
                          int timeoutMs = 15000);
    // SIGTERM to the driver; waits for its exit and returns its status.
    int StopDriver(const std::string &name = "wex");
};

// Runs wexmsg on the site's bus with the arguments; its standard output.
std::string Wexmsg(Site &s, const std::vector<std::string> &args, int *exitStatus = nullptr,
                   int timeoutMs = 15000);
