#include "tests/support/tallies.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

// "RR 007 012 005" -> (12, 5); false for other texts or another device.
bool ParseRevertive(const std::string &line, int id, int *dest, int *source)
{
    size_t at = line.find("text=\"RR ");
    if (at == std::string::npos)
        return false;
    int device = 0;
    if (std::sscanf(line.c_str() + at + 9, "%d %d %d", &device, dest, source) != 3)
        return false;
    return device == id;
}

}  // namespace

TallyMap RouterCrosspoints(Site &s, int com, int timeoutMs)
{
    size_t before = CountOccurrences(s.RouterLog(com), "OK dump\n");
    s.Router(com, "dump");
    if (!s.WaitRouter(com, "OK dump\n", before + 1, timeoutMs))
        return {};
    std::istringstream log(s.RouterLog(com));
    TallyMap xpt;
    size_t dumps = 0;
    for (std::string line; std::getline(log, line) && dumps <= before;) {
        if (line == "OK dump") {
            ++dumps;
            continue;
        }
        int level = 0, dest = 0, source = 0;
        if (dumps == before && std::sscanf(line.c_str(), "XPT %d %d %d", &level, &dest, &source) == 3 &&
            level == 1)
            xpt[dest] = source < 0 ? -1 : source;
    }
    return xpt;
}

TallyMap ReportedTallies(Site &s, int id, int first, int last, int tag, int timeoutMs)
{
    std::string lastMark = "code=2188 wparam=" + std::to_string(tag | 0x8000) + " ";
    size_t before = CountOccurrences(s.VekLog(), lastMark);
    s.Vek("cmd " + std::to_string(id) + " RQ " + std::to_string(id) + " " + std::to_string(first) + " " +
          std::to_string(last) + " " + std::to_string(tag));
    if (!s.WaitVek(lastMark, before + 1, timeoutMs))
        return {};
    // This report's lines are the ones after the previous report's last one.
    std::string log = s.VekLog();
    size_t from = 0;
    for (size_t i = 0; i < before; ++i)
        from = log.find(lastMark, from) + lastMark.size();
    std::istringstream in(log.substr(from));
    std::string mark = "code=2188 wparam=" + std::to_string(tag) + " ";
    TallyMap tallies;
    for (std::string line; std::getline(in, line);) {
        bool isLast = line.find(lastMark) != std::string::npos;
        int dest = 0, source = 0;
        if (line.rfind("RX ", 0) == 0 && (isLast || line.find(mark) != std::string::npos) &&
            ParseRevertive(line, id, &dest, &source))
            tallies[dest] = source;
        if (isLast)
            break;
    }
    return tallies;
}

bool WaitCommandsAccepted(Site &s, int id, int timeoutMs)
{
    const std::string answer = "code=2188 wparam=" + std::to_string(998 | 0x8000) + " ";
    size_t before = CountOccurrences(s.VekLog(), answer);
    std::string ask = "cmd " + std::to_string(id) + " RQ " + std::to_string(id) + " 1 1 998";
    return WaitFor(
        [&] {
            s.Vek(ask);
            return s.WaitVek(answer, before + 1, 300);
        },
        timeoutMs);
}

TallyMap LastRevertives(const std::string &vekLog, int id)
{
    std::istringstream in(vekLog);
    TallyMap tallies;
    for (std::string line; std::getline(in, line);) {
        int dest = 0, source = 0;
        if (line.rfind("RX code=218", 0) == 0 && ParseRevertive(line, id, &dest, &source))
            tallies[dest] = source;
    }
    return tallies;
}

TallyMap StoredTallies(const std::string &datPath, int first, int last)
{
    auto bytes = ReadBinaryFile(datPath);
    TallyMap tallies;
    for (int d = first; d <= last; ++d) {
        size_t at = 2 * static_cast<size_t>(d - 1);
        if (at + 1 >= bytes.size())
            break;
        int value = 256 * bytes[at] + bytes[at + 1];
        tallies[d] = value == 65535 ? -1 : value;
    }
    return tallies;
}

size_t RouterLines(Site &s, int com, const std::string &prefix)
{
    return CountOccurrences("\n" + s.RouterLog(com), "\n" + prefix);
}

bool WaitRouterReplies(Site &s, int com, size_t mark, size_t more, int timeoutMs)
{
    return WaitFor([&] { return RouterLines(s, com, "TX ") >= mark + more; }, timeoutMs);
}

long ResidentKb(pid_t pid)
{
    std::istringstream in(ReadTextFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::string Differences(const TallyMap &driver, const TallyMap &router, int first, int last)
{
    std::string out;
    for (int d = first; d <= last; ++d) {
        auto a = driver.find(d), b = router.find(d);
        int x = a == driver.end() ? -999 : a->second, y = b == router.end() ? -999 : b->second;
        if (x != y)
            out += std::to_string(d) + ": driver=" + std::to_string(x) + " router=" + std::to_string(y) + "\n";
    }
    return out;
}
