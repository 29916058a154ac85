// The simulated LEITCH router.
//
// CR-ended ASCII lines (LF ignored) with hexadecimal numbers; destinations
// count from 0 at the driver's MinDest, sources from 0 at source 1.  The
// router level is option "level" (default 1).
//
//   driver: "@ ?" and "T F"                 poll preamble, no answer
//   driver: "@ X?<level><dest>"             status query -> status line
//   driver: "@ X:<level>/<dest>,<src>"      take         -> status line
//   router: "S:<level digit><dest>,<src>"   or ",X" when nothing is routed
//                                           (parking is source 0: FFFFFFFF)
//
// Sample: "@ X:1/1F,A" routes source 11 to destination 32 (MinDest 1) and
// is answered with "S:11F,A".
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim.h"

extern const SimProtocol SimLeitch;

namespace {

constexpr size_t kLineLimit = 255;

struct LeitchSimState {
    std::string line;
};
LeitchSimState State;

int Level(const SimRouter &r)
{
    std::string text = SimOption(r, "level");
    return text.empty() ? 1 : std::atoi(text.c_str());
}

std::string Hex(int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
    return text;
}

void SendStatus(SimRouter &r, int dest)
{
    int source = SimXpt(r, 0, dest);
    int level = Level(r);
    std::string line = "S:";
    line += static_cast<char>('0' + (level >= 0 && level <= 9 ? level : 0));
    line += Hex(dest - r.minDest) + ",";
    line += source >= 0 ? Hex(source - 1) : std::string("X");  // parking: FFFFFFFF
    SimSendText(r, line + "\r");
}

// A whole hexadecimal number of up to eight digits (the driver sends
// parking as FFFFFFFF), nothing after it.
bool ReadHex(const std::string &text, long long *value)
{
    if (text.empty() || text.size() > 8)
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    *value = std::strtoll(text.c_str(), nullptr, 16);
    return true;
}

bool ValidDest(const SimRouter &r, long long dest)
{
    if (dest >= 1 && dest <= r.dests)
        return true;
    SimLog("BAD destination %lld", dest);
    return false;
}

void Query(SimRouter &r, const std::string &rest)
{
    std::string level = Hex(Level(r));
    long long wire = 0;
    if (rest.compare(0, level.size(), level) != 0 || !ReadHex(rest.substr(level.size()), &wire)) {
        SimLog("BAD query");
        return;
    }
    if (ValidDest(r, wire + r.minDest))
        SendStatus(r, static_cast<int>(wire + r.minDest));
}

void Take(SimRouter &r, const std::string &rest)
{
    size_t slash = rest.find('/'), comma = rest.find(',');
    long long level = 0, wireDest = 0, wireSource = 0;
    if (slash == std::string::npos || comma == std::string::npos || comma < slash ||
        !ReadHex(rest.substr(0, slash), &level) ||
        !ReadHex(rest.substr(slash + 1, comma - slash - 1), &wireDest) ||
        !ReadHex(rest.substr(comma + 1), &wireSource)) {
        SimLog("BAD take");
        return;
    }
    if (level != Level(r)) {
        SimLog("IGNORED level %lld", level);
        return;
    }
    if (!ValidDest(r, wireDest + r.minDest))
        return;
    int dest = static_cast<int>(wireDest + r.minDest);
    SimSetXpt(r, 0, dest, wireSource + 1 <= r.sources ? static_cast<int>(wireSource + 1) : 0);
    SendStatus(r, dest);
}

void HandleLine(SimRouter &r, const std::string &line)
{
    SimLogFrame("RX", line.data(), line.size());
    if (line == "@ ?" || line == "T F")
        return;
    if (line.compare(0, 4, "@ X?") == 0)
        Query(r, line.substr(4));
    else if (line.compare(0, 4, "@ X:") == 0)
        Take(r, line.substr(4));
    else
        SimLog("BAD command");
}

void LeitchByte(SimRouter &r, uint8_t b)
{
    std::string &line = State.line;
    if (b == '\n')
        return;
    if (b != '\r') {
        if (line.size() < kLineLimit)
            line += static_cast<char>(b);
        return;
    }
    if (!line.empty())
        HandleLine(r, line);
    line.clear();
}

void LeitchAnnounce(SimRouter &r, int dest) { SendStatus(r, dest); }

}  // namespace

const SimProtocol SimLeitch = {
    .name = "LEITCH",
    .start = nullptr,
    .byte = LeitchByte,
    .announce = LeitchAnnounce,
};
