// The simulated BTSASCII router.  Messages start with "Z" and end with CR;
// numbers are three decimal digits, D = destination - MinDest (--min-dest)
// and S = source - 1.
//
//   ZW999<CR>      start of the driver's polling cycle: answered "ZY<CR>"
//   ZR005<CR>      read wire destination 5: answered "ZR005012<CR>" (source 13)
//   ZS005012<CR>   set: answered "ZY<CR>"; the new tally goes out with the next read
//                  (source field "-01" parks the destination)
//   announce 6     the read reply of destination 6, sent unasked
//
// Parking is sent as "-01", an unknown crosspoint as "---" (no number).
// Lines the router does not understand are logged and not answered.
#include <cstdio>
#include <string>

#include "sim.h"

namespace {

constexpr char kCR = 0x0D;
constexpr size_t kMaxLine = 256;

std::string Line;  // bytes since the last CR

void SendRead(SimRouter &r, int dest)
{
    int source = SimXpt(r, 0, dest);
    char text[64];
    if (source >= 0)  // parking is source 0, wire -1: "-01"
        std::snprintf(text, sizeof text, "ZR%03d%03d%c", dest - r.minDest, source - 1, kCR);
    else
        std::snprintf(text, sizeof text, "ZR%03d---%c", dest - r.minDest, kCR);
    SimSendText(r, text);
}

void Acknowledge(SimRouter &r) { SimSendText(r, std::string("ZY") + kCR); }

// Exactly three decimal digits at text[at]; -1 if not.
int Field(const std::string &text, size_t at)
{
    if (at + 3 > text.size())
        return -1;
    int value = 0;
    for (size_t i = at; i < at + 3; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

void Interpret(SimRouter &r, const std::string &line)
{
    if (line == "ZW999") {
        SimLog("CYCLE");
        Acknowledge(r);
        return;
    }
    bool read = line.size() == 5 && line[1] == 'R';
    bool set = line.size() == 8 && line[1] == 'S';
    int wire = read || set ? Field(line, 2) : -1;
    int dest = wire < 0 ? 0 : wire + r.minDest;
    if (dest < 1 || dest > r.dests) {
        SimLog(read || set ? "BAD destination" : "BAD unknown command");
        return;
    }
    if (read) {
        SendRead(r, dest);
        return;
    }
    int wireSource = line.compare(5, 3, "-01") == 0 ? -1 : Field(line, 5);  // -01: parking
    if (wireSource < -1 || wireSource + 1 > r.sources) {
        SimLog("BAD source");
        return;
    }
    SimSetXpt(r, 0, dest, wireSource + 1);
    Acknowledge(r);
}

void BtsasciiByte(SimRouter &r, uint8_t b)
{
    std::string frame;
    if (SimLineFrame(Line, b, kMaxLine, 'Z', "Z", &frame))
        Interpret(r, frame);
}

void BtsasciiAnnounce(SimRouter &r, int dest) { SendRead(r, dest); }

}  // namespace

extern const SimProtocol SimBtsascii;
const SimProtocol SimBtsascii = {
    .name = "BTSASCII",
    .start = nullptr,
    .byte = BtsasciiByte,          // collects lines up to CR
    .announce = BtsasciiAnnounce,  // a read reply, unasked
};
