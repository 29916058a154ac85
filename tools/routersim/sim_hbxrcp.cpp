// The HBXRCP router.  Lines start with a full stop and end with CR; the
// numbers are the driver's own destination and source numbers, so --dests
// is the highest destination any port of the driver sends.
//
//   .IA12,-<CR>   interrogate: answered ".AA12,5<CR>" (level letter as asked)
//   .SB12,5<CR>   set level B: answered with the new tally ".AB12,5<CR>"
//   announce 12   ".AA12,5 B12,5<CR>": every level, blank-separated
//
// Level n is the letter 0x40 + n; an unknown crosspoint is sent as "-" in
// place of the source.  Lines the router does not understand are logged
// and not answered, as a router on a noisy line would do.
#include <cstdio>
#include <string>

#include "sim.h"

namespace {

constexpr char kCR = 0x0D;
constexpr size_t kMaxLine = 256;

std::string Line;  // bytes since the last CR

std::string Entry(const SimRouter &r, int level, int dest)
{
    char text[48];
    int source = SimXpt(r, level, dest);
    if (source < 0)
        std::snprintf(text, sizeof text, "%c%d,-", 'A' + level, dest);
    else
        std::snprintf(text, sizeof text, "%c%d,%d", 'A' + level, dest, source);
    return text;
}

// ".I<L><dest>,-" or ".S<L><dest>,<source>", from the full stop on, CR cut.
void Interpret(SimRouter &r, const std::string &line)
{
    if (line.size() < 4 || (line[1] != 'I' && line[1] != 'S')) {
        SimLog("BAD unknown command");
        return;
    }
    int level = static_cast<unsigned char>(line[2]) - 'A';
    size_t at = 3;
    int dest = SimNumber(line, &at);
    bool comma = at < line.size() && line[at] == ',';
    ++at;
    if (level < 0 || level >= r.levels || dest < 1 || dest > r.dests || !comma) {
        SimLog("BAD level or destination");
        return;
    }
    if (line[1] == 'I') {
        SimSendText(r, ".A" + Entry(r, level, dest) + kCR);
        return;
    }
    int source = SimNumber(line, &at);
    if (source < 0 || source > r.sources || at != line.size()) {
        SimLog("BAD source");
        return;
    }
    SimSetXpt(r, level, dest, source);
    SimSendText(r, ".A" + Entry(r, level, dest) + kCR);
}

void HbxrcpByte(SimRouter &r, uint8_t b)
{
    std::string frame;
    if (SimLineFrame(Line, b, kMaxLine, '.', "full stop", &frame))
        Interpret(r, frame);
}

void HbxrcpAnnounce(SimRouter &r, int dest)
{
    std::string line = ".A";
    for (int level = 0; level < r.levels; ++level)
        line += (level ? " " : "") + Entry(r, level, dest);
    SimSendText(r, line + kCR);
}

}  // namespace

extern const SimProtocol SimHbxrcp;
const SimProtocol SimHbxrcp = {
    .name = "HBXRCP",
    .start = nullptr,
    .byte = HbxrcpByte,          // collects lines up to CR
    .announce = HbxrcpAnnounce,  // every level of one destination in one line
};
