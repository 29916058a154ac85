// The simulated VISTEK router.  Lines start with a full stop and end with
// CR; the numbers are the driver's own destination and source numbers, so
// --dests is the highest destination any port of the driver sends.  The
// driver always uses level Z, which is the router's first level here.
//
//   .IZ12,-<CR>   interrogate: answered ".IV12,5<CR>"
//   .SZ12,5<CR>   set: answered with the new tally ".SV12,5<CR>"
//   announce 12   ".XV12,5<CR>"
//   .A<CR>        the driver's acknowledgement: logged as "ACK"
//
// An unknown crosspoint is sent as "-" in place of the source.  With the
// option ack=1 the router asks for an acknowledgement (".E<CR>") after every
// set it takes.  Lines the router does not understand are logged and not
// answered.
#include <cstdio>
#include <string>

#include "sim.h"

namespace {

constexpr char kCR = 0x0D;
constexpr size_t kMaxLine = 256;

std::string Line;  // bytes since the last CR

// A tally line: "." letter "V" dest "," source CR.
void SendTally(SimRouter &r, char letter, int dest)
{
    char text[64];
    int source = SimXpt(r, 0, dest);
    if (source < 0)
        std::snprintf(text, sizeof text, ".%cV%d,-%c", letter, dest, kCR);
    else
        std::snprintf(text, sizeof text, ".%cV%d,%d%c", letter, dest, source, kCR);
    SimSendText(r, text);
}

// ".IZ<dest>,-" or ".SZ<dest>,<source>", from the full stop on, CR cut.
void Command(SimRouter &r, const std::string &line)
{
    size_t at = 3;
    int dest = SimNumber(line, &at);
    bool comma = at < line.size() && line[at] == ',';
    ++at;
    if (line[2] != 'Z' || dest < 1 || dest > r.dests || !comma) {
        SimLog("BAD level or destination");
        return;
    }
    if (line[1] == 'I') {
        SendTally(r, 'I', dest);
        return;
    }
    int source = SimNumber(line, &at);
    if (source < 0 || source > r.sources || at != line.size()) {
        SimLog("BAD source");
        return;
    }
    SimSetXpt(r, 0, dest, source);
    SendTally(r, 'S', dest);
    if (SimOption(r, "ack") == "1")
        SimSendText(r, std::string(".E") + kCR);
}

void Interpret(SimRouter &r, const std::string &line)
{
    if (line == ".A") {
        SimLog("ACK");
        return;
    }
    if (line.size() < 4 || (line[1] != 'I' && line[1] != 'S')) {
        SimLog("BAD unknown command");
        return;
    }
    Command(r, line);
}

void VistekByte(SimRouter &r, uint8_t b)
{
    std::string frame;
    if (SimLineFrame(Line, b, kMaxLine, '.', "full stop", &frame))
        Interpret(r, frame);
}

void VistekAnnounce(SimRouter &r, int dest) { SendTally(r, 'X', dest); }

}  // namespace

extern const SimProtocol SimVistek;
const SimProtocol SimVistek = {
    .name = "VISTEK",
    .start = nullptr,
    .byte = VistekByte,          // collects lines up to CR
    .announce = VistekAnnounce,  // an unsolicited ".XV" tally
};
