// The simulated NETWORK router (one level of it).
//
// Three-byte binary messages whose first byte alone has the top bit set.
// H = 0xA0 (option type=VIDEO, the default) or 0x90 (type=AUDIO) plus the
// level (option level, default 0); Q = 0xC0 plus the level.  Destinations
// count from 0 at the driver's MinDest, sources from 0 at source 1.
//
//   driver: Q 00          interrogate -> one tally per destination, in order
//   driver: H dest src    route       -> the tally of that destination
//   router: H dest src    tally (also unsolicited)
//
// Sample (video, level 3, MinDest 1): A3 05 09 routes source 10 to
// destination 6 and is answered with A3 05 09.
#include <cstdlib>
#include <string>

#include "sim.h"

extern const SimProtocol SimNetwork;

namespace {

constexpr int kMessage = 3;
constexpr int kLastWire = 0x7F;  // a byte after the header keeps its top bit clear

struct NetworkSimState {
    uint8_t message[kMessage] = {};
    int count = 0;  // 0: waiting for a header
};
NetworkSimState State;

int Level(const SimRouter &r)
{
    int level = std::atoi(SimOption(r, "level").c_str());
    return level >= 0 && level <= 15 ? level : 0;
}

uint8_t Header(const SimRouter &r)
{
    uint8_t base = SimOption(r, "type") == "AUDIO" ? 0x90 : 0xA0;
    return static_cast<uint8_t>(base + Level(r));
}

// Unknown and parked crosspoints go out as the highest wire source.
void SendTally(SimRouter &r, int dest)
{
    int wireDest = dest - r.minDest;
    if (wireDest < 0 || wireDest > kLastWire) {
        SimLog("CANNOT report destination %d", dest);
        return;
    }
    int source = SimXpt(r, 0, dest);
    int wireSource = source >= 1 && source - 1 <= kLastWire ? source - 1 : kLastWire;
    uint8_t message[kMessage] = {Header(r), static_cast<uint8_t>(wireDest),
                                 static_cast<uint8_t>(wireSource)};
    SimSend(r, message, sizeof message);
}

void Sweep(SimRouter &r)
{
    int first = r.minDest > 1 ? r.minDest : 1;
    for (int dest = first; dest <= r.dests && dest - r.minDest <= kLastWire; ++dest)
        SendTally(r, dest);
}

void Route(SimRouter &r, const uint8_t *m)
{
    if (m[0] != Header(r)) {
        SimLog("IGNORED header %02x", m[0]);
        return;
    }
    int dest = m[1] + r.minDest;
    if (dest < 1 || dest > r.dests) {
        SimLog("BAD destination %d", dest);
        return;
    }
    SimSetXpt(r, 0, dest, m[2] + 1 <= r.sources ? m[2] + 1 : 0);
    SendTally(r, dest);
}

void NetworkByte(SimRouter &r, uint8_t b)
{
    NetworkSimState &s = State;
    if (b & 0x80) {
        s.message[0] = b;
        s.count = 1;
        return;
    }
    if (s.count < 1 || s.count >= kMessage)
        return;
    s.message[s.count++] = b;
    bool interrogate = (s.message[0] & 0xF0) == 0xC0;
    if (interrogate && s.count == 2) {
        SimLogFrame("RX", s.message, 2);
        s.count = 0;
        if (s.message[0] == 0xC0 + Level(r))
            Sweep(r);
        else
            SimLog("IGNORED level %d", s.message[0] & 0x0F);
    } else if (s.count == kMessage) {
        SimLogFrame("RX", s.message, kMessage);
        s.count = 0;
        Route(r, s.message);
    }
}

void NetworkAnnounce(SimRouter &r, int dest) { SendTally(r, dest); }

}  // namespace

const SimProtocol SimNetwork = {
    .name = "NETWORK",
    .start = nullptr,
    .byte = NetworkByte,
    .announce = NetworkAnnounce,
};
