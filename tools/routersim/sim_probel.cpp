// The simulated PROBEL router.
//
// Messages open with FF; destination and source are ten-bit numbers, their
// bits 7-9 in the multiplier byte (destination in bits 4-6, source in 0-2),
// their low seven bits in a byte each; checksum (-(bytes 1..n)) & 0x7F.
// Wire destinations count from 0 at the driver's MinDest, wire sources from
// 0 at source 1 (wire 1023 is parking).
//
//   driver: FF 01 mult dest cs        interrogate  -> FF 03 ... tally
//   driver: FF 02 mult dest src cs    connect      -> FF 04 ... connected
//   router: FF 03 mult dest src cs    tally (also unsolicited)
//
// Sample: FF 02 10 01 04 69 (MinDest 1) routes source 5 to destination 130,
// answered with FF 04 10 01 04 67.
#include "sim.h"

extern const SimProtocol SimProbel;

namespace {

constexpr uint8_t kStart = 0xFF;
constexpr int kMaxMessage = 6;
constexpr int32_t kParkWire = 1023;

struct ProbelSimState {
    uint8_t message[kMaxMessage] = {};
    int count = 0;  // 0: waiting for FF
};
ProbelSimState State;

uint8_t Checksum(const uint8_t *message, int last)
{
    unsigned sum = 0;
    for (int i = 1; i <= last; ++i)
        sum += message[i];
    return static_cast<uint8_t>((0u - sum) & 0x7F);
}

void SendTally(SimRouter &r, uint8_t command, int dest)
{
    int source = SimXpt(r, 0, dest);
    int32_t d = (dest - r.minDest) & 0x3FF;
    int32_t s = (source >= 1 ? source - 1 : kParkWire) & 0x3FF;
    uint8_t message[kMaxMessage] = {kStart, command,
                                    static_cast<uint8_t>(((s >> 7) & 7) | ((d >> 3) & 0x70)),
                                    static_cast<uint8_t>(d & 0x7F), static_cast<uint8_t>(s & 0x7F)};
    message[5] = Checksum(message, 4);
    SimSend(r, message, sizeof message);
}

void Handle(SimRouter &r, const uint8_t *m, int length)
{
    SimLogFrame("RX", m, static_cast<size_t>(length));
    if (Checksum(m, length - 2) != m[length - 1]) {
        SimLog("BAD checksum");
        return;
    }
    int dest = (((m[2] & 0x70) << 3) | (m[3] & 0x7F)) + r.minDest;
    if (dest < 1 || dest > r.dests) {
        SimLog("BAD destination %d", dest);
        return;
    }
    if (m[1] == 2) {
        int wire = ((m[2] & 7) << 7) | (m[4] & 0x7F);
        int source = wire == kParkWire || wire + 1 > r.sources ? 0 : wire + 1;
        SimSetXpt(r, 0, dest, source);
        SendTally(r, 4, dest);
        return;
    }
    SendTally(r, 3, dest);
}

void ProbelByte(SimRouter &r, uint8_t b)
{
    ProbelSimState &s = State;
    if (b == kStart) {
        s.message[0] = b;
        s.count = 1;
        return;
    }
    if (s.count < 1 || s.count >= kMaxMessage)
        return;
    s.message[s.count++] = b;
    int expected = s.message[1] == 1 ? 5 : s.message[1] == 2 ? 6 : 0;
    if (expected == 0) {
        SimLogFrame("RX", s.message, static_cast<size_t>(s.count));
        SimLog("BAD command %02x", s.message[1]);
        s.count = 0;
    } else if (s.count == expected) {
        Handle(r, s.message, expected);
        s.count = 0;
    }
}

void ProbelAnnounce(SimRouter &r, int dest) { SendTally(r, 3, dest); }

}  // namespace

const SimProtocol SimProbel = {
    .name = "PROBEL",
    .start = nullptr,
    .byte = ProbelByte,
    .announce = ProbelAnnounce,
};
