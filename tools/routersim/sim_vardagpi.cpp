// The simulated VARDAGPI unit of general-purpose outputs.  An output is
// addressed by its own number (the driver's destination number); its state
// is the crosspoint: source 1 while on, anything else (2) while off.
//
//   I3<CR>     interrogate output 3: answered "I30<CR>" (off) or "I31<CR>" (on)
//   S31<CR>    switch output 3 on: answered "S31<CR>"; "S30<CR>" switches it off
//   announce 3 the reply to an interrogate, sent unasked
//
// Replies carry the output as one digit, so only outputs 1 to 9 can answer;
// others are logged instead.  An unknown state is reported as off.
#include <string>

#include "sim.h"

namespace {

constexpr char kCR = 0x0D;
constexpr size_t kMaxLine = 64;
constexpr int kOn = 1;
constexpr int kOff = 2;

std::string Line;  // bytes since the last CR

void Reply(SimRouter &r, char kind, int dest)
{
    if (dest < 1 || dest > 9) {
        SimLog("BAD output %d cannot be sent as one digit", dest);
        return;
    }
    const char text[] = {kind, static_cast<char>('0' + dest),
                         SimXpt(r, 0, dest) == kOn ? '1' : '0', kCR, 0};
    SimSendText(r, text);
}

// A whole decimal number of at most 6 digits; -1 if not.
int Whole(const std::string &digits)
{
    if (digits.empty() || digits.size() > 6)
        return -1;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

void Interpret(SimRouter &r, const std::string &line)
{
    bool set = !line.empty() && line[0] == 'S';
    if (line.size() < (set ? 3u : 2u) || (line[0] != 'I' && !set)) {
        SimLog("BAD unknown command");
        return;
    }
    char state = set ? line.back() : '0';
    int dest = Whole(line.substr(1, line.size() - (set ? 2 : 1)));
    if (dest < 1 || dest > r.dests || (state != '0' && state != '1')) {
        SimLog("BAD output or state");
        return;
    }
    if (set)
        SimSetXpt(r, 0, dest, state == '1' ? kOn : kOff);
    Reply(r, line[0], dest);
}

void VardagpiByte(SimRouter &r, uint8_t b)
{
    if (!SimLineByte(Line, b, kMaxLine))
        return;
    Interpret(r, Line);
    Line.clear();
}

void VardagpiAnnounce(SimRouter &r, int dest) { Reply(r, 'I', dest); }

}  // namespace

extern const SimProtocol SimVardagpi;
const SimProtocol SimVardagpi = {
    .name = "VARDAGPI",
    .start = nullptr,
    .byte = VardagpiByte,          // collects commands up to CR
    .announce = VardagpiAnnounce,  // an interrogate reply, unasked
};
