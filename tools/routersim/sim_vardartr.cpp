// The simulated VARDARTR router, a small router.  Commands are a letter,
// decimal numbers and CR; on the wire D = destination - MinDest
// (--min-dest) and S = source - 1.  Replies are three characters and CR,
// each number one character: "0".."9", then "A" for 10, "B" for 11 and on.
//
//   I3<CR>     interrogate wire destination 3: answered "I31<CR>" (source 2)
//   R13<CR>    route wire source 1 to wire destination 3: answered "R13<CR>"
//   announce 4 the reply to an interrogate, sent unasked
//
// The route command runs S and D together; the router takes the only
// split that names one of its sources and destinations, and refuses an
// ambiguous one.  Parking is reported as "/" (wire -1, one below "0"), an
// unknown crosspoint as the first input (source 1); a number past "~"
// cannot be sent and is logged instead.
#include <cstdio>
#include <string>

#include "sim.h"

namespace {

constexpr char kCR = 0x0D;
constexpr size_t kMaxLine = 64;

std::string Line;  // bytes since the last CR

// The reply character of a wire value; 0 when one character cannot carry it.
char WireChar(int value)
{
    if (value < 0)
        return 0;
    int c = value < 10 ? '0' + value : 0x37 + value;
    return c < 0x7F ? static_cast<char>(c) : 0;
}

void Reply(SimRouter &r, char kind, int dest)
{
    int source = SimXpt(r, 0, dest);
    char d = WireChar(dest - r.minDest);
    char s = source == 0 ? '/' : WireChar(source >= 1 ? source - 1 : 0);  // "/": wire -1
    if (d == 0 || s == 0) {
        SimLog("BAD destination %d or its source cannot be sent", dest);
        return;
    }
    const char text[] = {kind, kind == 'I' ? d : s, kind == 'I' ? s : d, kCR, 0};
    SimSendText(r, text);
}

// A whole decimal number of at most 6 digits, no leading zeros; -1 if not.
int Whole(const std::string &digits)
{
    if (digits.empty() || digits.size() > 6 || (digits.size() > 1 && digits[0] == '0'))
        return -1;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// "R" S D: every split of the digits into a source the router has (S = -1
// is parking) and one of its destinations.
void Route(SimRouter &r, const std::string &text)
{
    int found = 0, source = 0, dest = 0;
    bool park = text.rfind("-1", 0) == 0;
    for (size_t cut = park ? 2 : 1; cut < text.size(); ++cut) {
        int s = park ? (cut == 2 ? -1 : -2) : Whole(text.substr(0, cut));
        int d = Whole(text.substr(cut));
        if (s < -1 || s + 1 > r.sources || d < 0 || d + r.minDest < 1 || d + r.minDest > r.dests)
            continue;
        ++found;
        source = s + 1;
        dest = d + r.minDest;
    }
    if (found != 1) {
        SimLog(found ? "BAD ambiguous route" : "BAD route");
        return;
    }
    SimSetXpt(r, 0, dest, source);
    Reply(r, 'R', dest);
}

void Interpret(SimRouter &r, const std::string &line)
{
    if (line.size() >= 2 && line[0] == 'I') {
        int d = Whole(line.substr(1));
        if (d < 0 || d + r.minDest < 1 || d + r.minDest > r.dests)
            SimLog("BAD destination");
        else
            Reply(r, 'I', d + r.minDest);
    } else if (line.size() >= 3 && line[0] == 'R') {
        Route(r, line.substr(1));
    } else {
        SimLog("BAD unknown command");
    }
}

void VardartrByte(SimRouter &r, uint8_t b)
{
    if (!SimLineByte(Line, b, kMaxLine))
        return;
    Interpret(r, Line);
    Line.clear();
}

void VardartrAnnounce(SimRouter &r, int dest) { Reply(r, 'I', dest); }

}  // namespace

extern const SimProtocol SimVardartr;
const SimProtocol SimVardartr = {
    .name = "VARDARTR",
    .start = nullptr,
    .byte = VardartrByte,          // collects commands up to CR
    .announce = VardartrAnnounce,  // an interrogate reply, unasked
};
