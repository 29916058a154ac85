// The simulated QUARTZ router.
//
// Lines start with "." and end with CR.  Levels are letters: option
// levels=... (default "VAB", the driver's default QuartzLevels) names them
// in order, the first letter is level 1, as far as --levels goes.
// Destinations travel 1-based within the driver's port (dest - --min-dest
// + 1), sources as the driver's own numbers.
//
//   .IV5<CR>        interrogate level V: answered ".AV005,0012<CR>"
//   .SVAB5,12<CR>   route on levels V, A and B: answered with the update
//                   ".UVAB005,0012<CR>" (the source now on the first of them)
//   announce 5      ".UVAB005,0012<CR>" with every letter of levels=
//
// An unknown crosspoint is reported as source 0.  Lines the router does not
// understand are logged and not answered.
#include <cstdio>
#include <string>

#include "sim.h"

namespace {

constexpr char kCR = 0x0D;
constexpr size_t kMaxLine = 64;

std::string Line;  // from the last "." on

std::string Letters(const SimRouter &r)
{
    std::string letters = SimOption(r, "levels");
    return letters.empty() ? "VAB" : letters;
}

int LevelOf(const SimRouter &r, char letter)
{
    size_t at = Letters(r).find(letter);
    return at == std::string::npos || static_cast<int>(at) >= r.levels ? -1 : static_cast<int>(at);
}

// "<ddd>,<ssss>" of one destination on one level.
std::string Numbers(const SimRouter &r, int level, int dest)
{
    int source = SimXpt(r, level, dest);
    char text[32];
    std::snprintf(text, sizeof text, "%03d,%04d", dest - r.minDest + 1, source < 0 ? 0 : source);
    return text;
}

void Interrogate(SimRouter &r, const std::string &line)
{
    int level = LevelOf(r, line[2]);
    size_t at = 3;
    int dest = SimNumber(line, &at) - 1 + r.minDest;
    if (level < 0 || at != line.size() || dest < 1 || dest > r.dests) {
        SimLog("BAD level or destination");
        return;
    }
    SimSendText(r, std::string(".A") + line[2] + Numbers(r, level, dest) + kCR);
}

void Route(SimRouter &r, const std::string &line)
{
    size_t at = 2;
    while (at < line.size() && std::isalpha(static_cast<unsigned char>(line[at])))
        ++at;
    std::string letters = line.substr(2, at - 2);
    int dest = SimNumber(line, &at) - 1 + r.minDest;
    bool comma = at < line.size() && line[at] == ',';
    ++at;
    int source = SimNumber(line, &at);
    if (letters.empty() || !comma || at != line.size() || dest < 1 || dest > r.dests ||
        source < 0 || source > r.sources) {
        SimLog("BAD route");
        return;
    }
    for (char letter : letters)
        if (LevelOf(r, letter) >= 0)
            SimSetXpt(r, LevelOf(r, letter), dest, source);
    int first = LevelOf(r, letters[0]);
    SimSendText(r, ".U" + letters + Numbers(r, first < 0 ? 0 : first, dest) + kCR);
}

void QuartzByte(SimRouter &r, uint8_t b)
{
    if (b == '.')
        Line.clear();
    if (!SimLineByte(Line, b, kMaxLine))
        return;
    if (Line.size() >= 3 && Line[0] == '.' && Line[1] == 'I')
        Interrogate(r, Line);
    else if (Line.size() >= 3 && Line[0] == '.' && Line[1] == 'S')
        Route(r, Line);
    else
        SimLog("BAD unknown command");
    Line.clear();
}

void QuartzAnnounce(SimRouter &r, int dest)
{
    // Every letter, as many as the driver has: it finds the numbers by
    // counting its own level letters.
    SimSendText(r, ".U" + Letters(r) + Numbers(r, 0, dest) + kCR);
}

}  // namespace

extern const SimProtocol SimQuartz;
const SimProtocol SimQuartz = {
    .name = "QUARTZ",
    .start = nullptr,
    .byte = QuartzByte,          // collects lines from "." to CR
    .announce = QuartzAnnounce,  // an update line on the configured levels
};
