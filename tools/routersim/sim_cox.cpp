// The simulated COX router.
//
// Every message ends with a checksum byte that makes its byte sum 0 modulo
// 256.  The wire destination is dest - --min-dest, the wire source the
// driver's source - 1 (FF for source 0 and for no source), one byte each.
//
//   driver: 02 d cs       interrogate: answered "s cs"
//   driver: 01 s d cs     route: answered 04, or 15 when it cannot be made
//
// Sample (min-dest 1): 02 0B F3 is answered 04 FC when destination 12
// carries source 5; 01 04 0B F0 routes source 5 to destination 12 and is
// answered 04.  Messages with a wrong checksum or an unknown first byte are
// logged and not answered.  This router sends nothing unasked: the driver
// reads each answer as the reply to its last request.
#include "sim.h"

namespace {

constexpr uint8_t kInterrogate = 0x02, kRoute = 0x01;
constexpr uint8_t kAcknowledge = 0x04, kRefuse = 0x15;
constexpr uint8_t kNone = 0xFF;

struct CoxSimState {
    uint8_t message[4] = {};
    int count = 0;
};
CoxSimState State;

uint8_t Sum(const uint8_t *bytes, int length)
{
    unsigned sum = 0;
    for (int i = 0; i < length; ++i)
        sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

void AnswerInterrogate(SimRouter &r, int dest)
{
    int source = SimXpt(r, 0, dest);
    uint8_t answer[2] = {source >= 1 ? static_cast<uint8_t>((source - 1) & 0xFF) : kNone};
    answer[1] = static_cast<uint8_t>(0u - answer[0]);
    SimSend(r, answer, sizeof answer);
}

void Handle(SimRouter &r, const uint8_t *m, int length)
{
    SimLogFrame("RX", m, static_cast<size_t>(length));
    if (Sum(m, length) != 0) {
        SimLog("BAD checksum");
        return;
    }
    if (m[0] == kInterrogate) {
        AnswerInterrogate(r, m[1] + r.minDest);
        return;
    }
    int dest = m[2] + r.minDest;
    int source = m[1] == kNone ? 0 : m[1] + 1;
    bool made = source <= r.sources && SimSetXpt(r, 0, dest, source);
    if (!made)
        SimLog("BAD source %d or destination %d", source, dest);
    uint8_t answer = made ? kAcknowledge : kRefuse;
    SimSend(r, &answer, 1);
}

void CoxByte(SimRouter &r, uint8_t b)
{
    CoxSimState &s = State;
    if (s.count == 0 && b != kInterrogate && b != kRoute) {
        SimLogFrame("RX", &b, 1);
        SimLog("BAD command %02x", b);
        return;
    }
    s.message[s.count++] = b;
    int length = s.message[0] == kInterrogate ? 3 : 4;
    if (s.count == length) {
        Handle(r, s.message, length);
        s.count = 0;
    }
}

}  // namespace

extern const SimProtocol SimCox;
const SimProtocol SimCox = {
    .name = "COX",
    .start = nullptr,
    .byte = CoxByte,      // collects a request by its first byte
    .announce = nullptr,  // answers only: nothing is sent unasked
};
