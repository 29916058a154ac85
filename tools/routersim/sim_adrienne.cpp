// The simulated ADRIENNE unit: an addressed unit whose whole state is one
// selected input, kept as the crosspoint of destination 1.  Frames carry
// the address as two ASCII digits A1 A2 and the input as one ASCII digit
// SD = 0x30 + source - 1.
//
//   02 A1 A2 05        interrogate: answered with the status SD 00 31
//   02 A1 A2 SD SD     select input SD (the digit twice): answered with the new status
//   announce (any)     the status, sent unasked
//
// With the option address=NN the unit answers only frames for that address
// (as the driver's AdrienneAddress, 0..99); without it, every address.  An
// unknown input is reported as the first one.  Frames that do not fit are
// logged and dropped; collection starts again at the next 02.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim.h"

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEnq = 0x05;
constexpr int kUnitDest = 1;
constexpr int kMaxFrame = 5;

struct AdrienneSimState {
    uint8_t frame[kMaxFrame] = {};
    int count = 0;  // 0: waiting for 02
};
AdrienneSimState State;

void SendStatus(SimRouter &r)
{
    int source = SimXpt(r, 0, kUnitDest);
    const uint8_t status[] = {static_cast<uint8_t>(0x30 + (source >= 1 ? source - 1 : 0)), 0x00,
                              0x31};
    SimSend(r, status, sizeof status);
}

// The address digits of the frame, when the unit is to answer it.
bool ForThisUnit(const SimRouter &r, const uint8_t *frame)
{
    std::string wanted = SimOption(r, "address");
    if (wanted.empty())
        return true;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%02d", std::atoi(wanted.c_str()) % 100);
    return frame[1] == static_cast<uint8_t>(digits[0]) && frame[2] == static_cast<uint8_t>(digits[1]);
}

void Handle(SimRouter &r, const uint8_t *frame, int length)
{
    SimLogFrame("RX", frame, static_cast<size_t>(length));
    if (!ForThisUnit(r, frame)) {
        SimLog("OTHER address");
        return;
    }
    if (length == 5) {
        int source = frame[3] - 0x2F;
        if (frame[4] != frame[3] || source < 1 || source > r.sources) {
            SimLog("BAD select");
            return;
        }
        SimSetXpt(r, 0, kUnitDest, source);
    }
    SendStatus(r);
}

void AdrienneByte(SimRouter &r, uint8_t b)
{
    AdrienneSimState &s = State;
    if (s.count == 0 && b != kStx)
        return;  // between frames
    s.frame[s.count++] = b;
    if (s.count == 4 && b == kEnq) {
        Handle(r, s.frame, 4);
        s.count = 0;
    } else if (s.count == kMaxFrame) {
        Handle(r, s.frame, kMaxFrame);
        s.count = 0;
    }
}

void AdrienneAnnounce(SimRouter &r, int) { SendStatus(r); }

}  // namespace

extern const SimProtocol SimAdrienne;
const SimProtocol SimAdrienne = {
    .name = "ADRIENNE",
    .start = nullptr,
    .byte = AdrienneByte,          // frames from 02
    .announce = AdrienneAnnounce,  // the status, whatever the destination
};
