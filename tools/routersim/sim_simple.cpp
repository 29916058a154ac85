// The simulated SIMPLE router.
//
// One-byte requests, one-byte answers.  The wire destination is
// dest - --min-dest (0..127), the wire source the driver's source - 1 (FF for
// source 0 and for no source).
//
//   driver: d            interrogate: answered with one byte, the source - 1
//   driver: d|80, s      route: taken and answered like an interrogate
//
// Sample: with destination 3 carrying source 5 (min-dest 1) the request 02
// is answered 04; the route 82 04 is answered 04 too.  Every request gets
// its answer, FF for a destination the router does not have.  This router
// sends nothing unasked: the driver reads each answer as the reply to its
// last request, so an unsolicited byte would be taken for another's.
#include "sim.h"

namespace {

constexpr uint8_t kRouteBit = 0x80;
constexpr uint8_t kNone = 0xFF;

struct SimpleSimState {
    int routeWire = -1;  // first byte of a route, waiting for its source byte
};
SimpleSimState State;

void Answer(SimRouter &r, int wire)
{
    int dest = wire + r.minDest;
    int source = SimXpt(r, 0, dest);
    uint8_t answer = source >= 1 ? static_cast<uint8_t>((source - 1) & 0xFF) : kNone;
    if (dest > r.dests)
        SimLog("BAD destination %d", dest);
    SimSend(r, &answer, 1);
}

void SimpleByte(SimRouter &r, uint8_t b)
{
    SimpleSimState &s = State;
    if (s.routeWire >= 0) {
        uint8_t frame[2] = {static_cast<uint8_t>(s.routeWire | kRouteBit), b};
        SimLogFrame("RX", frame, sizeof frame);
        int dest = s.routeWire + r.minDest;
        int source = b == kNone ? 0 : b + 1;
        if (source > r.sources || !SimSetXpt(r, 0, dest, source))
            SimLog("BAD source %d or destination %d", source, dest);
        Answer(r, s.routeWire);
        s.routeWire = -1;
        return;
    }
    if (b & kRouteBit) {
        s.routeWire = b & 0x7F;
        return;
    }
    SimLogFrame("RX", &b, 1);
    Answer(r, b);
}

}  // namespace

extern const SimProtocol SimSimple;
const SimProtocol SimSimple = {
    .name = "SIMPLE",
    .start = nullptr,
    .byte = SimpleByte,   // one request: one byte, or two for a route
    .announce = nullptr,  // answers only: nothing is sent unasked
};
