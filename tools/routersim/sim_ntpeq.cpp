// The simulated NTPEQ unit, whose outputs come in groups of five.  Lines
// start with a full stop and end with CR.  An output is a group (from 1) and
// a position letter G..K, counted from the driver's MinDest (--min-dest):
// destination d is n = d - MinDest + 1, group (n - 1) / 5 + 1, position
// (n - 1) % 5 + 1.  Sources are the driver's own numbers.
//
//   .ZM2,-<CR>    group interrogate: ".qM2,1,2,3,4,5,0<CR>" (five sources, then 0)
//   .ZH2,12<CR>   route position H of group 2: answered ".qH2,12<CR>"
//   announce 7    the single tally of destination 7, ".qH2,12<CR>" with MinDest 1
//
// An unknown crosspoint, or a position past --dests, is sent as -1.  Lines
// the unit does not understand are logged and not answered.
#include <cstdio>
#include <string>

#include "sim.h"

namespace {

constexpr char kCR = 0x0D;
constexpr size_t kMaxLine = 256;
constexpr int kGroupSize = 5;
const std::string kLetters = "GHIJK";

std::string Line;  // bytes since the last CR

int DestOf(const SimRouter &r, int group, int position)
{
    return (group - 1) * kGroupSize + position + r.minDest - 1;
}

void SendSingle(SimRouter &r, int dest)
{
    int n = dest - r.minDest;
    if (n < 0) {
        SimLog("BAD destination %d before MinDest", dest);
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, ".q%c%d,%d%c", kLetters[static_cast<size_t>(n % kGroupSize)],
                  n / kGroupSize + 1, SimXpt(r, 0, dest), kCR);
    SimSendText(r, text);
}

void SendGroup(SimRouter &r, int group)
{
    std::string text = ".qM" + std::to_string(group);
    for (int position = 1; position <= kGroupSize; ++position)
        text += "," + std::to_string(SimXpt(r, 0, DestOf(r, group, position)));
    SimSendText(r, text + ",0" + kCR);
}

// ".ZM<group>,-" or ".Z<letter><group>,<source>", from the full stop on.
void Interpret(SimRouter &r, const std::string &line)
{
    if (line.size() < 5 || line[1] != 'Z') {
        SimLog("BAD unknown command");
        return;
    }
    size_t at = 3;
    int group = SimNumber(line, &at);
    bool comma = at < line.size() && line[at] == ',';
    ++at;
    if (group < 1 || !comma) {
        SimLog("BAD group");
        return;
    }
    if (line[2] == 'M') {
        SendGroup(r, group);
        return;
    }
    size_t letter = kLetters.find(line[2]);
    int source = SimNumber(line, &at);
    int dest = letter == std::string::npos ? 0 : DestOf(r, group, static_cast<int>(letter) + 1);
    if (dest < 1 || dest > r.dests || source < 0 || source > r.sources || at != line.size()) {
        SimLog("BAD position or source");
        return;
    }
    SimSetXpt(r, 0, dest, source);
    SendSingle(r, dest);
}

void NtpeqByte(SimRouter &r, uint8_t b)
{
    std::string frame;
    if (SimLineFrame(Line, b, kMaxLine, '.', "full stop", &frame))
        Interpret(r, frame);
}

void NtpeqAnnounce(SimRouter &r, int dest) { SendSingle(r, dest); }

}  // namespace

extern const SimProtocol SimNtpeq;
const SimProtocol SimNtpeq = {
    .name = "NTPEQ",
    .start = nullptr,
    .byte = NtpeqByte,          // collects lines up to CR
    .announce = NtpeqAnnounce,  // a single tally of one output
};
