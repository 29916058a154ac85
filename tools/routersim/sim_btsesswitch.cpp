// The simulated BTSESSWITCH router.
//
// Frames 02 L <L data bytes> CS, where the length byte, the data and CS add
// up to 0 modulo 256.  Every frame is answered with the byte 04 (ACK), a
// frame we cannot use with 05 (NACK).  Destinations are 16-bit big-endian,
// from 0 at the driver's MinDest; sources likewise from 0 at source 1.
//
//   driver: 02 0C 60 ...      start-up request -> ACK, a report of everything
//   driver: 02 03 3F 07 47 70 preparation      -> ACK
//   driver: 02 07 42 FF FF SH SL DH DL CS route -> ACK, a report of that dest
//   router: 02 L 00 00 {47 00 00 DH DL 00 01 SH SL}... CS   tally report
//           (a record with count 00 00 and no source means nothing routed)
//
// Sample (MinDest 1): 02 07 42 FF FF 00 09 00 04 AC routes source 10 to
// destination 5, answered with 04 and 02 0B 00 00 47 00 00 00 04 00 01 00 09 A0.
#include <vector>

#include "sim.h"

extern const SimProtocol SimBtsesswitch;

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kAck = 0x04;
constexpr uint8_t kNak = 0x05;
constexpr int kRecordsPerFrame = 27;  // keeps L within what the driver can hold
constexpr int kFrameLimit = 258;

struct BtsSimState {
    uint8_t frame[kFrameLimit] = {};
    int count = 0;  // 0: idle
};
BtsSimState State;

void SendFrame(SimRouter &r, std::vector<uint8_t> data)
{
    std::vector<uint8_t> frame{kStx, static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (size_t i = 1; i < frame.size(); ++i)
        sum += frame[i];
    frame.push_back(static_cast<uint8_t>(0u - sum));
    SimSend(r, frame.data(), frame.size());
}

void AddRecord(const SimRouter &r, std::vector<uint8_t> &data, int dest)
{
    int wire = dest - r.minDest;
    int source = SimXpt(r, 0, dest);
    data.insert(data.end(), {0x47, 0x00, 0x00, static_cast<uint8_t>(wire >> 8),
                             static_cast<uint8_t>(wire)});
    if (source < 1) {
        data.insert(data.end(), {0x00, 0x00});
        return;
    }
    data.insert(data.end(), {0x00, 0x01, static_cast<uint8_t>((source - 1) >> 8),
                             static_cast<uint8_t>(source - 1)});
}

// Reports dests first..last in as many frames as it takes.
void Report(SimRouter &r, int first, int last)
{
    if (first < r.minDest)
        first = r.minDest;
    if (first < 1)
        first = 1;
    while (first <= last) {
        std::vector<uint8_t> data{0x00, 0x00};
        for (int n = 0; n < kRecordsPerFrame && first <= last; ++n)
            AddRecord(r, data, first++);
        SendFrame(r, data);
    }
}

void Route(SimRouter &r, const uint8_t *f)
{
    int source = (f[5] << 8 | f[6]);
    int dest = (f[7] << 8 | f[8]) + r.minDest;
    if (dest < 1 || dest > r.dests) {
        SimLog("BAD destination %d", dest);
        return;
    }
    SimSetXpt(r, 0, dest, source + 1 <= r.sources ? source + 1 : 0);
    Report(r, dest, dest);
}

void Handle(SimRouter &r, const uint8_t *f, int length)
{
    SimLogFrame("RX", f, static_cast<size_t>(length));
    unsigned sum = 0;
    for (int i = 1; i < length; ++i)
        sum += f[i];
    bool valid = (sum & 0xFF) == 0 && length > 3;
    if (valid && f[2] == 0x60) {
        SimSend(r, &kAck, 1);
        Report(r, 1, r.dests);
    } else if (valid && f[2] == 0x3F) {
        SimSend(r, &kAck, 1);
    } else if (valid && f[2] == 0x42 && f[1] == 7) {
        SimSend(r, &kAck, 1);
        Route(r, f);
    } else {
        SimLog("BAD frame");
        SimSend(r, &kNak, 1);
    }
}

void BtsByte(SimRouter &r, uint8_t b)
{
    BtsSimState &s = State;
    if (s.count == 0) {
        if (b == kStx)
            s.frame[s.count++] = b;
        else if (b != kAck)
            SimLog("IGNORED byte %02x", b);
        return;
    }
    s.frame[s.count++] = b;
    if (s.count >= 2 && s.count == s.frame[1] + 3) {
        Handle(r, s.frame, s.count);
        s.count = 0;
    } else if (s.count >= kFrameLimit) {
        s.count = 0;
    }
}

void BtsAnnounce(SimRouter &r, int dest) { Report(r, dest, dest); }

}  // namespace

const SimProtocol SimBtsesswitch = {
    .name = "BTSESSWITCH",
    .start = nullptr,
    .byte = BtsByte,
    .announce = BtsAnnounce,
};
