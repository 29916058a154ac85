// The simulated PESA router.
//
// Commands end with two checksum characters and CR LF; the checksum is the
// low 8 bits of the character sum of the text before it, high nibble first,
// each nibble as 0x30 + nibble.  Destinations travel 1-based within the
// driver's port (dest - --min-dest + 1), sources as the driver's own
// numbers, three digits each.
//
//   Y001>:<CR><LF>        status request: answered "<ddd>01<sss><CR><LF>"
//   H0010026;<CR><LF>     take source 2 to destination 1: taken, not answered
//                         (the driver asks for the status right after)
//   announce 12           the status line of one destination
//
// Sample: with destination 12 carrying source 34, "Y012><" is answered
// "01201034".  An unknown crosspoint is reported as source 0.  Commands with
// a wrong checksum or another form are logged and not answered.
#include <cctype>
#include <cstdio>
#include <string>

#include "sim.h"

namespace {

constexpr char kLF = 0x0A;
constexpr size_t kMaxLine = 64;

std::string Line;  // bytes since the last LF

std::string Checksum(const std::string &text)
{
    unsigned sum = 0;
    for (char c : text)
        sum += static_cast<uint8_t>(c);
    sum &= 0xFF;
    return {static_cast<char>('0' + (sum >> 4)), static_cast<char>('0' + (sum & 0x0F))};
}

// The fixed-width number at text[at, at + 3); -1 unless all three are digits.
int Field(const std::string &text, size_t at)
{
    int value = 0;
    for (size_t i = at; i < at + 3; ++i) {
        if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

void SendStatus(SimRouter &r, int dest)
{
    int source = SimXpt(r, 0, dest);
    char text[32];
    std::snprintf(text, sizeof text, "%03d01%03d\r\n", dest - r.minDest + 1,
                  source < 0 ? 0 : source);
    SimSendText(r, text);
}

// A command with its checksum checked and cut off.
void Interpret(SimRouter &r, const std::string &text)
{
    int dest = Field(text, 1) - 1 + r.minDest;
    bool fits = dest >= 1 && dest <= r.dests;
    if (text[0] == 'Y' && text.size() == 4 && fits) {
        SendStatus(r, dest);
        return;
    }
    int source = Field(text, 4);
    if (text[0] == 'H' && text.size() == 7 && fits && source >= 0 && source <= r.sources) {
        SimSetXpt(r, 0, dest, source);
        return;
    }
    SimLog("BAD command");
}

void PesaByte(SimRouter &r, uint8_t b)
{
    if (!SimLineByte(Line, b, kMaxLine, static_cast<uint8_t>(kLF)))
        return;
    std::string line = Line;
    Line.clear();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() < 3) {
        SimLog("BAD short command");
        return;
    }
    std::string text = line.substr(0, line.size() - 2);
    if (Checksum(text) != line.substr(line.size() - 2)) {
        SimLog("BAD checksum");
        return;
    }
    Interpret(r, text);
}

void PesaAnnounce(SimRouter &r, int dest) { SendStatus(r, dest); }

}  // namespace

extern const SimProtocol SimPesa;
const SimProtocol SimPesa = {
    .name = "PESA",
    .start = nullptr,
    .byte = PesaByte,          // collects commands up to LF
    .announce = PesaAnnounce,  // the status line of one destination
};
