// The simulated SONY router.
//
// Frames both ways: 02 N 31 addr 01 cmd data... checksum, where N counts the
// bytes from index 2 to the one before the checksum and the checksum makes
// the bytes from index 1 on add up to 0 modulo 256.  Destinations travel
// 1-based within the driver's port (dest - --min-dest + 1), sources as the
// driver's own numbers, 7 bits each.
//
//   driver: 02 05 31 aa 01 62 D cs     interrogate -> tally 02 06 31 aa 01 72 S D cs
//   driver: 02 06 31 aa 01 22 S D cs   connect: taken, not answered (the driver
//                                      interrogates right after)
//   announce: the tally frame of one destination
//
// Sample: 02 05 31 01 01 62 01 65 is answered 02 06 31 01 01 72 03 01 51
// when destination 1 carries source 3.  An unknown crosspoint is reported
// as source 0.  Option address=N makes the router answer only unit N (and
// announce as N); without it every address is answered, in its own name.
#include <cstdlib>
#include <string>

#include "sim.h"

namespace {

constexpr uint8_t kStart = 0x02;
constexpr uint8_t kInterrogate = 0x62, kConnect = 0x22, kTally = 0x72;
constexpr int kMaxFrame = 17;

struct SonySimState {
    uint8_t frame[kMaxFrame] = {};
    int count = 0;  // 0: waiting for the start byte
};
SonySimState State;

uint8_t Checksum(const uint8_t *frame, int last)
{
    unsigned sum = 0;
    for (int i = 1; i <= last; ++i)
        sum += frame[i];
    return static_cast<uint8_t>(0u - sum);
}

// The configured unit address, or -1 to answer any.
int OwnAddress(const SimRouter &r)
{
    std::string value = SimOption(r, "address");
    return value.empty() ? -1 : std::atoi(value.c_str()) & 0xFF;
}

void SendTally(SimRouter &r, uint8_t address, int dest)
{
    int wire = dest - r.minDest + 1;
    if (wire < 1 || wire > 0x7F) {
        SimLog("BAD destination %d", dest);
        return;
    }
    int source = SimXpt(r, 0, dest);
    uint8_t frame[9] = {kStart, 0x06, 0x31, address, 0x01, kTally,
                        static_cast<uint8_t>((source < 0 ? 0 : source) & 0x7F),
                        static_cast<uint8_t>(wire)};
    frame[8] = Checksum(frame, 7);
    SimSend(r, frame, sizeof frame);
}

void Handle(SimRouter &r, const uint8_t *f, int length)
{
    SimLogFrame("RX", f, static_cast<size_t>(length));
    if (Checksum(f, length - 2) != f[length - 1]) {
        SimLog("BAD checksum");
        return;
    }
    int own = OwnAddress(r);
    if (own >= 0 && f[3] != own) {
        SimLog("OTHER unit %d", f[3]);
        return;
    }
    if (f[5] == kInterrogate && f[1] == 5) {
        SendTally(r, f[3], f[6] - 1 + r.minDest);
    } else if (f[5] == kConnect && f[1] == 6) {
        int dest = f[7] - 1 + r.minDest;
        if (f[6] > r.sources || !SimSetXpt(r, 0, dest, f[6]))
            SimLog("BAD source %d or destination %d", f[6], dest);
    } else {
        SimLog("BAD command %02x", f[5]);
    }
}

void SonyByte(SimRouter &r, uint8_t b)
{
    SonySimState &s = State;
    if (s.count == 0 && b != kStart)
        return;  // line noise between frames
    s.frame[s.count++] = b;
    if (s.count < 2)
        return;
    int length = s.frame[1] + 3;
    if (length > kMaxFrame) {
        SimLogFrame("RX", s.frame, static_cast<size_t>(s.count));
        SimLog("BAD length %d", s.frame[1]);
        s.count = 0;
    } else if (s.count == length) {
        Handle(r, s.frame, length);
        s.count = 0;
    }
}

void SonyAnnounce(SimRouter &r, int dest)
{
    int own = OwnAddress(r);
    SendTally(r, static_cast<uint8_t>(own < 0 ? 1 : own), dest);
}

}  // namespace

extern const SimProtocol SimSony;
const SimProtocol SimSony = {
    .name = "SONY",
    .start = nullptr,
    .byte = SonyByte,          // collects frames by their length byte
    .announce = SonyAnnounce,  // the tally frame of one destination
};
