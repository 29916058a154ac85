// wexctl: entry point, arguments and the commands.
#include "tools/wexctl/wexctl.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/bus.h"
#include "platform/root.h"
#include "routing/tables.h"
#include "shell/extension.h"

namespace {

const char kUsage[] =
    "usage: wexctl [--root DIR] [--bus DIR] [--json] [--workstation N] [--wait SECONDS]\n"
    "              ID (ports | tallies [FIRST [LAST]] | route SRC DEST | lock DEST |\n"
    "                  unlock DEST | watch)\n";

const char kHelp[] =
    "The operator's client of a running WEX driver.\n"
    "\n"
    "  ID ports                 the port table as the window shows it, with the\n"
    "                           counters and modes\n"
    "  ID tallies [FIRST [LAST]]  destination, source and lock (names from VEK);\n"
    "                           all destinations, FIRST only, or FIRST..LAST\n"
    "  ID route SRC DEST        route (the control system's RC text; 0 parks)\n"
    "  ID lock DEST             lock a destination (RL ... 1)\n"
    "  ID unlock DEST           unlock it (RL ... 0)\n"
    "  ID watch                 print every revertive, and tally, lock, port and mode\n"
    "                           changes, until Ctrl-C\n"
    "\n"
    "options:\n"
    "  --root DIR        root directory (the bus is $ZOLT_BUS, else DIR/bus)\n"
    "  --bus DIR         bus directory\n"
    "  --json            JSON output for ports, tallies and watch (one object a line)\n"
    "  --workstation N   the workstation the commands carry (default 0, the\n"
    "                    driver's own panel)\n"
    "  --wait SECONDS    how long route waits for the router's tally (default 3)\n"
    "  --help            this text\n"
    "Exit status: 0 done; 1 no driver, or the driver did not do it; 2 bad arguments.\n";

struct Args {
    std::vector<std::string> words;
    long long workstation = 0;
    long long waitSeconds = 3;
};

int Usage(const char *why)
{
    if (why)
        std::fprintf(stderr, "wexctl: %s\n", why);
    std::fputs(kUsage, stderr);
    return 2;
}

// A decimal number within lo..hi (leading zeros allowed, nothing else).
bool Number(const std::string &text, long long lo, long long hi, long long *value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::strtoll(text.c_str(), nullptr, 10);
    return *value >= lo && *value <= hi;
}

// Returns -1 to go on, else the exit status.
int ParseArgs(int argc, char **argv, Args *a)
{
    for (int i = 1; i < argc; ++i) {
        std::string s = argv[i];
        bool hasValue = i + 1 < argc;
        if (s == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        } else if (s == "--json") {
            JsonOutput = true;
        } else if ((s == "--root" || s == "--bus") && hasValue) {
            if (s == "--root")
                SetRootDirectory(argv[++i]);
            else
                setenv("ZOLT_BUS", argv[++i], 1);
        } else if (s == "--workstation" && hasValue) {
            if (!Number(argv[++i], 0, 1000, &a->workstation))
                return Usage("bad workstation (0..1000)");
        } else if (s == "--wait" && hasValue) {
            if (!Number(argv[++i], 0, 3600, &a->waitSeconds))
                return Usage("bad --wait (0..3600 seconds)");
        } else if (s.rfind("--", 0) == 0) {
            return Usage(("bad option " + s).c_str());
        } else {
            a->words.push_back(s);
        }
    }
    return -1;
}

bool Open(int32_t id, Driver *d)
{
    std::string dir = BusDirectory();
    struct stat st{};
    std::string error;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "wexctl: no driver %d is running (no bus at %s)\n", id, dir.c_str());
        return false;
    }
    if (!BusOpen(&error)) {
        std::fprintf(stderr, "wexctl: %s\n", error.c_str());
        return false;
    }
    if (!FindDriver(id, d)) {
        std::fprintf(stderr, "wexctl: no driver %d is running on the bus %s\n", id, dir.c_str());
        return false;
    }
    return true;
}

bool TallyOf(const Driver &d, int32_t dest, Tally *t)
{
    std::vector<Tally> one;
    if (!ReadTallies(d, dest, dest, &one) || one.empty() || one[0].dest != dest) {
        std::fprintf(stderr, "wexctl: driver %d has no destination %d (it has 1..%d)\n", d.id, dest,
                     NumberOf(d.info, "dests"));
        return false;
    }
    *t = one[0];
    return true;
}

bool Sent(const Driver &d, const std::string &text)
{
    int32_t r = SendCommand(d, text);
    if (r == kWexCommandRun)
        return true;
    if (r == kWexCommandInhibited)
        std::fprintf(stderr, "wexctl: driver %d does not take commands yet (start-up sweep)\n", d.id);
    else
        std::fprintf(stderr, "wexctl: driver %d did not take \"%s\" (result %d)\n", d.id,
                     text.c_str(), r);
    return false;
}

std::string Described(const Driver &d, int database, int32_t index)
{
    std::string name = Name(d, database, index);
    return std::to_string(index) + (name.empty() ? "" : " (" + name + ")");
}

// RC, then the router's tally: success when the destination carries SRC
// (or, for a park, when its tally changed) within --wait.
int Route(const Driver &d, int32_t src, int32_t dest, const Args &a)
{
    Tally before, now;
    if (!TallyOf(d, dest, &before))
        return 1;
    char text[64];
    std::snprintf(text, sizeof text, "RC %d %d %d ',---' %lld", d.id, src, dest, a.workstation);
    if (!Sent(d, text) || !TallyOf(d, dest, &now))
        return 1;
    timespec start{}, step{0, 50 * 1000 * 1000};
    clock_gettime(CLOCK_MONOTONIC, &start);
    auto done = [&] { return src != 0 ? now.source == src : now.source != before.source; };
    while (!done() && !now.locked) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (t.tv_sec - start.tv_sec + (t.tv_nsec - start.tv_nsec) / 1e9 >= a.waitSeconds)
            break;
        nanosleep(&step, nullptr);
        if (!TallyOf(d, dest, &now))
            return 1;
    }
    if (done()) {
        std::printf("destination %s: source %s\n", Described(d, 1, dest).c_str(),
                    Described(d, 0, now.source).c_str());
        return 0;
    }
    if (now.locked)
        std::fprintf(stderr, "wexctl: destination %d is locked: the driver refused the route\n", dest);
    else
        std::fprintf(stderr, "wexctl: destination %d still carries source %d after %lld s\n", dest,
                     now.source, a.waitSeconds);
    return 1;
}

int Lock(const Driver &d, int32_t dest, bool lock, const Args &a)
{
    Tally t;
    if (!TallyOf(d, dest, &t))
        return 1;
    char text[64];
    std::snprintf(text, sizeof text, "RL %d %d %d %d %lld", d.id, dest, dest, lock ? 1 : 0,
                  a.workstation);
    if (!Sent(d, text) || !TallyOf(d, dest, &t))
        return 1;
    if (t.locked != lock) {
        std::fprintf(stderr, "wexctl: destination %d is still %s: the driver refused\n", dest,
                     t.locked ? "locked" : "unlocked");
        return 1;
    }
    std::printf("destination %s %s\n", Described(d, 1, dest).c_str(), lock ? "locked" : "unlocked");
    return 0;
}

int Tallies(const Driver &d, const std::vector<long long> &n)
{
    int32_t dests = NumberOf(d.info, "dests");
    int32_t first = n.empty() ? 1 : static_cast<int32_t>(n[0]);
    int32_t last = n.empty() ? dests : static_cast<int32_t>(n.size() > 1 ? n[1] : n[0]);
    if (first > dests) {
        std::fprintf(stderr, "wexctl: driver %d has no destination %d (it has 1..%d)\n", d.id, first,
                     dests);
        return 1;
    }
    std::vector<Tally> tallies;
    if (!ReadTallies(d, first, std::min(last, dests), &tallies)) {
        std::fprintf(stderr, "wexctl: driver %d stopped answering\n", d.id);
        return 1;
    }
    PrintTallies(d, tallies);
    return 0;
}

// The command's numbers: how many, and each one's range.
struct Shape {
    const char *name;
    size_t least, most;
    long long lo[2], hi[2];
};
const Shape kShapes[] = {
    {"ports", 0, 0, {0, 0}, {0, 0}},
    {"watch", 0, 0, {0, 0}, {0, 0}},
    {"tallies", 0, 2, {1, 1}, {kMaxDest, kMaxDest}},
    {"route", 2, 2, {0, 1}, {65535, kMaxDest}},
    {"lock", 1, 1, {1, 0}, {kMaxDest, 0}},
    {"unlock", 1, 1, {1, 0}, {kMaxDest, 0}},
};

int Run(const Args &a)
{
    long long id = 0;
    if (a.words.size() < 2)
        return Usage(nullptr);
    if (!Number(a.words[0], 1, 999, &id))
        return Usage(("bad driver Id \"" + a.words[0] + "\" (1..999)").c_str());
    const std::string &command = a.words[1];
    const Shape *shape = nullptr;
    for (const Shape &s : kShapes)
        if (command == s.name)
            shape = &s;
    if (!shape)
        return Usage(("unknown command \"" + command + "\"").c_str());
    size_t count = a.words.size() - 2;
    if (count < shape->least || count > shape->most)
        return Usage(("wrong number of arguments for " + command).c_str());
    std::vector<long long> n(count);
    for (size_t i = 0; i < count; ++i)
        if (!Number(a.words[2 + i], shape->lo[i], shape->hi[i], &n[i]))
            return Usage(("bad number \"" + a.words[2 + i] + "\"").c_str());
    if (command == "tallies" && count == 2 && n[0] > n[1])
        return Usage("FIRST is above LAST");
    Driver d;
    if (!Open(static_cast<int32_t>(id), &d))
        return 1;
    std::vector<Record> ports;
    if (command == "ports") {
        if (!ReadPorts(d, &ports))
            return 1;
        PrintPorts(d, ports);
        return 0;
    }
    if (command == "tallies")
        return Tallies(d, n);
    if (command == "route")
        return Route(d, static_cast<int32_t>(n[0]), static_cast<int32_t>(n[1]), a);
    if (command == "lock" || command == "unlock")
        return Lock(d, static_cast<int32_t>(n[0]), command == "lock", a);
    return Watch(&d);
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Args a;
    int status = ParseArgs(argc, argv, &a);
    if (status >= 0)
        return status;
    status = Run(a);
    BusClose();
    return status;
}
