// routersim: a router of a chosen protocol on a pseudo-terminal (or a given
// device, or behind a TCP port as a serial device server would pass it on),
// for tests and demonstrations of the driver.  Its log, one event a line,
// goes to standard output; it is steered by commands on standard input.
// See docs/routersim.md.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core.h"
#include "sim.h"

namespace {

constexpr int kMaxDests = 65535;
constexpr int kMaxSources = 65535;
constexpr int kMaxLevels = 256;

struct Options {
    std::string protocol = "HBXRCP";
    std::string link;
    std::string device;
    std::string tcpListen;  // [HOST:]PORT
    int speed = 0;
    bool identity = false;
    bool stdinQuit = false;
    bool force = false;     // --force: replace a live --link until we end
    unsigned seed = 1;
    std::vector<std::string> presets;
};

const char kUsage[] =
    "usage: routersim [options]\n"
    "  --protocol NAME   router protocol, a profile keyword (default HBXRCP)\n"
    "  --sources N       source count (default 16)\n"
    "  --dests N         destination count (default 16)\n"
    "  --levels N        level count (default 1)\n"
    "  --min-dest N      first destination of the driver's port (default 1)\n"
    "  --opt KEY=VALUE   protocol option (repeatable)\n"
    "  --preset D=S,...  initial crosspoints, every level (repeatable)\n"
    "  --identity        initial crosspoints: destination d carries source d\n"
    "  --silent          start silent (answer nothing)\n"
    "  --garbage         start sending noise instead of answers\n"
    "  --seed N          seed of the noise (default 1)\n"
    "  --link PATH       symbolic link to the pseudo-terminal's slave (an existing\n"
    "                    link to something is refused)\n"
    "  --force           replace such a link anyway; it is put back at the end\n"
    "  --device PATH     use this device instead of a pseudo-terminal (taken\n"
    "                    exclusively, as the driver does: a held line is refused)\n"
    "  --speed BAUD      line speed of --device\n"
    "  --tcp-listen [HOST:]PORT  be a device server: take the driver's TCP\n"
    "                    connection instead (HOST 127.0.0.1, PORT 0 any free)\n"
    "  --stdin-quit      quit when standard input ends\n";

// A whole decimal number within [low, high].
bool ReadInt(const char *text, int low, int high, int *value)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != 0 || v < low || v > high)
        return false;
    *value = static_cast<int>(v);
    return true;
}

// "--name value" or "--name=value"; advances i past what it used.
const char *OptionValue(int argc, char **argv, int *i, const char *name, bool *matched)
{
    size_t n = std::strlen(name);
    const char *arg = argv[*i];
    *matched = false;
    if (std::strncmp(arg, name, n) != 0)
        return nullptr;
    if (arg[n] == '=') {
        *matched = true;
        return arg + n + 1;
    }
    if (arg[n] != 0)
        return nullptr;
    *matched = true;
    if (*i + 1 >= argc)
        return nullptr;
    return argv[++*i];
}

bool ParseNumberOption(const char *arg, const char *value, SimRouter &r, Options &o)
{
    struct {
        const char *name;
        int *target;
        int low, high;
    } numbers[] = {
        {"--sources", &r.sources, 0, kMaxSources},
        {"--dests", &r.dests, 1, kMaxDests},
        {"--levels", &r.levels, 1, kMaxLevels},
        {"--min-dest", &r.minDest, 0, kMaxDests},
        {"--speed", &o.speed, 1, 4000000},
    };
    for (auto &n : numbers)
        if (std::strcmp(arg, n.name) == 0)
            return ReadInt(value, n.low, n.high, n.target);
    if (std::strcmp(arg, "--seed") == 0) {
        int seed = 0;
        if (!ReadInt(value, 0, INT32_MAX, &seed))
            return false;
        o.seed = static_cast<unsigned>(seed);
        return true;
    }
    return false;
}

// The line options that go together, and a well-formed listening address.
bool CheckLine(const Options &o)
{
    if (o.tcpListen.empty())
        return true;
    std::string host, port;
    if (!SimParseListen(o.tcpListen, &host, &port)) {
        std::fprintf(stderr, "routersim: bad value for --tcp-listen: %s\n", o.tcpListen.c_str());
        return false;
    }
    if (!o.device.empty() || !o.link.empty()) {
        std::fprintf(stderr, "routersim: --tcp-listen goes with neither --device nor --link\n");
        return false;
    }
    return true;
}

bool ParseOptions(int argc, char **argv, SimRouter &r, Options &o)
{
    static const char *const valued[] = {"--protocol", "--sources", "--dests", "--levels",
                                         "--min-dest", "--opt", "--preset", "--link",
                                         "--device", "--speed", "--seed", "--tcp-listen"};
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!std::strcmp(arg, "--silent")) { r.silent = true; continue; }
        if (!std::strcmp(arg, "--garbage")) { r.garbage = true; continue; }
        if (!std::strcmp(arg, "--identity")) { o.identity = true; continue; }
        if (!std::strcmp(arg, "--stdin-quit")) { o.stdinQuit = true; continue; }
        if (!std::strcmp(arg, "--force")) { o.force = true; continue; }
        const char *name = nullptr, *value = nullptr;
        for (const char *v : valued) {
            bool matched = false;
            value = OptionValue(argc, argv, &i, v, &matched);
            if (matched) { name = v; break; }
        }
        if (!name || !value) {
            std::fprintf(stderr, "routersim: bad option %s\n%s", arg, kUsage);
            return false;
        }
        std::string n = name;
        bool ok = true;
        if (n == "--protocol") o.protocol = value;
        else if (n == "--opt") r.options.push_back(value);
        else if (n == "--preset") o.presets.push_back(value);
        else if (n == "--link") o.link = value;
        else if (n == "--device") o.device = value;
        else if (n == "--tcp-listen") o.tcpListen = value;
        else ok = ParseNumberOption(name, value, r, o);
        if (!ok) {
            std::fprintf(stderr, "routersim: bad value for %s: %s\n", name, value);
            return false;
        }
    }
    return CheckLine(o);
}

// "12=5,13=7": destination 12 carries source 5 on every level, and so on.
bool ApplyPreset(SimRouter &r, const std::string &list)
{
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        std::string item = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t eq = item.find('=');
        int dest = 0, source = 0;
        if (eq == std::string::npos || !ReadInt(item.substr(0, eq).c_str(), 1, r.dests, &dest) ||
            !ReadInt(item.substr(eq + 1).c_str(), -1, kMaxSources, &source))
            return false;
        for (int level = 0; level < r.levels; ++level)
            SimSetXpt(r, level, dest, source);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return true;
}

bool SetUpRouter(SimRouter &r, const Options &o)
{
    r.xpt.assign(static_cast<size_t>(r.levels), std::vector<int>(static_cast<size_t>(r.dests) + 1, -1));
    if (o.identity)
        for (int level = 0; level < r.levels; ++level)
            for (int d = 1; d <= r.dests; ++d)
                SimSetXpt(r, level, d, d <= r.sources ? d : -1);
    for (const auto &p : o.presets)
        if (!ApplyPreset(r, p)) {
            std::fprintf(stderr, "routersim: bad preset %s\n", p.c_str());
            return false;
        }
    return true;
}

// Where the router is plugged in.
struct Line {
    int fd = -1;        // the device or the pseudo-terminal's master
    int listener = -1;  // --tcp-listen: the listening socket instead
    std::string slave;  // the pseudo-terminal's slave
    std::string previous;  // --force: the link's target before ours
};

// Opens the line and logs its first line (PTY, DEVICE or LISTEN); false
// with a message.
bool OpenLine(const Options &o, Line *line, std::string *error)
{
    if (!o.tcpListen.empty()) {
        std::string host, port, address;
        SimParseListen(o.tcpListen, &host, &port);  // checked with the options
        line->listener = SimListenTcp(host, port, &address, error);
        if (line->listener < 0)
            return false;
        SimLog("LISTEN %s", address.c_str());
        return true;
    }
    line->fd = o.device.empty() ? SimOpenPty(&line->slave, error)
                                : SimOpenDevice(o.device.c_str(), o.speed, error);
    if (line->fd < 0)
        return false;
    if (!o.link.empty() && !line->slave.empty() &&
        !SimMakeLink(o.link.c_str(), line->slave, o.force, &line->previous, error)) {
        close(line->fd);
        line->fd = -1;
        return false;
    }
    if (line->slave.empty())
        SimLog("DEVICE %s", o.device.c_str());
    else
        SimLog("PTY %s", line->slave.c_str());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    SimRouter router;
    Options options;
    if (!ParseOptions(argc, argv, router, options) || !SetUpRouter(router, options))
        return 2;
    int code = SimProtocolCode(options.protocol.c_str());
    const SimProtocol *protocol = code > 0 ? SimTable[code] : nullptr;
    if (!protocol || !protocol->byte) {
        std::fprintf(stderr, "routersim: no simulated router for protocol %s\n",
                     options.protocol.c_str());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    Line line;
    if (!OpenLine(options, &line, &error)) {
        std::fprintf(stderr, "routersim: %s\n", error.c_str());
        return 1;
    }
    SimSetDevice(line.fd);
    SimSeedNoise(options.seed);
    int status = RunSimulator(router, *protocol, line.fd, line.listener, options.stdinQuit,
                              !line.slave.empty());
    if (!options.link.empty() && !line.slave.empty())
        SimRemoveLink(options.link.c_str(), line.slave, line.previous);
    close(line.fd >= 0 ? line.fd : line.listener);
    return status;
}
