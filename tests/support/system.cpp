#include "tests/support/system.h"

#include <signal.h>

#include <cstdio>

Site::Site() = default;

Site::~Site()
{
    for (auto &[name, d] : drivers)
        ChildStop(&d);
    for (auto &[com, r] : routers)
        ChildStop(&r);
    ChildStop(&vek);
}

void Site::WriteProfile(int id, const std::string &text)
{
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.INI", id);
    WriteTextFile(Path(name), text);
}

bool Site::StartVek(const std::vector<std::string> &extra)
{
    std::vector<std::string> argv = {VEK_BIN, "--root", root.dir};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!StartChild(&vek, argv, {}, root.dir, "vek"))
        return false;
    return WaitForOutput(vek, "READY", 10000);
}

bool Site::StartRouter(int com, const std::string &protocol, int sources, int dests,
                       const std::vector<std::string> &extra)
{
    std::string link = Path("ttyCOM" + std::to_string(com));
    std::vector<std::string> argv = {ROUTERSIM_BIN, "--protocol", protocol, "--sources",
                                     std::to_string(sources), "--dests", std::to_string(dests),
                                     "--link", link};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child &c = routers[com];
    if (!StartChild(&c, argv, {}, root.dir, "router" + std::to_string(com)))
        return false;
    std::string paths = ReadTextFile(Path("zolt_config.ini"));
    if (paths.find("[Serial]") == std::string::npos)
        paths += "[Serial]\n";
    paths += "COM" + std::to_string(com) + "=" + link + "\n";
    WriteTextFile(Path("zolt_config.ini"), paths);
    return WaitForOutput(c, "READY", 10000);
}

bool Site::StartDriver(const std::string &name, const std::string &idText,
                       const std::vector<std::string> &extra)
{
    std::vector<std::string> argv = {WEX_BIN, "--root", root.dir};
    if (driverHeadless)
        argv.insert(argv.begin() + 1, "--headless");
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(idText);
    if (driversWithoutFileRights)
        argv = WithoutFileRights(argv);
    argv.insert(argv.begin(), driverPrefix.begin(), driverPrefix.end());
    return StartChild(&drivers[name], argv, driverEnv, root.dir, name);
}

void Site::Vek(const std::string &line) { ChildWrite(&vek, line + "\n"); }
void Site::Router(int com, const std::string &line) { ChildWrite(&routers[com], line + "\n"); }

bool Site::WaitVek(const std::string &text, size_t count, int timeoutMs)
{
    return WaitFor([&] { return CountOccurrences(ChildOutput(vek), text) >= count; }, timeoutMs);
}

bool Site::WaitRouter(int com, const std::string &text, size_t count, int timeoutMs)
{
    return WaitFor([&] { return CountOccurrences(ChildOutput(routers[com]), text) >= count; },
                   timeoutMs);
}

bool Site::WaitDriverErrors(const std::string &text, const std::string &name, int timeoutMs)
{
    return WaitForErrors(drivers[name], text, timeoutMs);
}

int Site::StopDriver(const std::string &name)
{
    Child &d = drivers[name];
    if (d.pid > 0)
        kill(d.pid, SIGTERM);
    if (!ChildWait(&d, 15000))
        ChildStop(&d, 1000);
    return d.exitStatus;
}

std::string Wexmsg(Site &s, const std::vector<std::string> &args, int *exitStatus, int timeoutMs)
{
    std::vector<std::string> argv = {WEXMSG_BIN, "--root", s.root.dir};
    argv.insert(argv.end(), args.begin(), args.end());
    static int n = 0;
    Child c;
    if (!StartChild(&c, argv, {}, s.root.dir, "wexmsg" + std::to_string(++n)))
        return "";
    if (!ChildWait(&c, timeoutMs))
        ChildStop(&c, 1000);
    if (exitStatus)
        *exitStatus = c.exitStatus;
    return ChildOutput(c);
}
