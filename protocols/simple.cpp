// SIMPLE router protocol: code 3, profile keyword "SIMPLE".
//
// One-byte requests, one-byte answers.  The wire destination is
// d = D - MinDest, one byte; bit 7 of a request's first byte marks a route,
// so a port reaches wire destinations 0..127.  The wire source is S - 1, one
// byte (source 0 goes out as FF).
//
//   interrogate   d                  02       (destination 3, port from 1)
//   route         d|80, (S-1)&FF     82 04    (source 5 to destination 3)
//   answer        r                  04       (source 5; FF: no source)
//
// The router answers every request, a route as well as an interrogate, with
// one byte.  The port has no receive parser and no notify window: the
// answers wait in the comms library's ring and the poll reads them itself,
// waiting up to 40 ms and going on as soon as the byte is in the ring.  A
// route is followed at once by a poll of the same destination, whose read
// takes whichever of the two answers comes first: both name the source now
// on that destination.  Bytes still in the ring when a request starts are
// late answers to earlier requests; they are thrown away so that they are
// never taken for another destination's answer.
//
// A changed answer goes straight into the TallyTable: RevertiveDelay does not
// apply to this protocol.
#include "protocols/protocol.h"

#include "protocols/answer.h"

#include "link/revertive.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "platform/loop.h"
#include "routing/tables.h"
#include "serial/comms.h"
#include "serial/ports.h"

#include <cstdio>

namespace {

constexpr uint32_t kAnswerWaitMs = 40;
constexpr int32_t kMaxWireDest = 0x7F;
constexpr uint8_t kNoSource = 0xFF;
// Source 0 goes out as FF; source 256 would too, and the router could not
// tell them apart, so the highest source a route may name is 255.
constexpr int32_t kMaxSource = 255;

// Straight to the debugger channel, whatever DebugMode says.  The system's
// texts start with a line feed to begin a fresh line; this channel is one
// line per call already, so that line feed is not repeated.
void DebugChannel(const char *text)
{
    if (text[0] == '\n')
        ++text;
    DebugPrintAlways(text);
}

// The wire destination, or -1 when the destination is beyond this protocol's
// reach (an interrogate with bit 7 set would be taken for a route).
int32_t WireDest(int port, int32_t dest)
{
    int32_t wire = dest - Profile.Ports[port].MinDest;
    return wire >= 0 && wire <= kMaxWireDest ? wire : -1;
}

// Step 4 on of the poll: one answer byte and what it says about dest.
void TakeAnswer(int port, int32_t dest)
{
    int index = Ports.CommIndex[port];
    uint8_t answer = 0;
    if (ReadAnswer(index, &answer, 1, kAnswerWaitMs) <= 0) {
        ClearLineErrors(index);
        return;
    }
    if (Ports.CommsFail[port] == 1)
        AcceptReply(port);
    int32_t source;
    if (answer == kNoSource) {
        source = -1;
        ++Ports.ErrorCount[port];  // counted; the Errors cell shows it at its next refresh
    } else {
        Ports.NoReply[port] = 0;
        source = answer + 1;
    }
    if (!IsValidSource(source))
        source = -1;
    if (!IsValidDest(dest) || Routing.TallyTable[dest] == source)
        return;
    Routing.TallyTable[dest] = source;
    SendRevertives(dest, dest, 1, 0);
    ShowSelectedDest();
}

void Poll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wire = WireDest(port, dest);
    if (wire < 0) {
        DebugPrintf("(Simple)Destination %d out of reach", dest);
        return;
    }
    DiscardLate(Ports.CommIndex[port]);
    char text[64];
    std::snprintf(text, sizeof text, "\n[Port %d] *-*-*-* Tx %02x - ", port, wire);
    DebugChannel(text);
    uint8_t request[9] = {static_cast<uint8_t>(wire)};  // nine: the Tx line shows nine
    PortTransmit(port, request, 1);
    TakeAnswer(port, dest);
}

void Route(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wire = WireDest(port, dest);
    if (wire < 0 || source < 0 || source > kMaxSource) {
        DebugPrintf("(Simple)Source %d or destination %d out of reach", source, dest);
        return;
    }
    uint8_t request[9] = {static_cast<uint8_t>(wire | 0x80),
                          static_cast<uint8_t>((source - 1) & 0xFF)};
    char text[64];
    std::snprintf(text, sizeof text, "\n[Port %d] *-*-*-* Tx %02x %02x- ", port, request[0],
                  request[1]);
    DebugChannel(text);
    PortTransmit(port, request, 2);
    Poll(dest);
}

}  // namespace

extern const ProtocolOps SimpleOps;
const ProtocolOps SimpleOps = {
    .name = "SIMPLE",
    .route = Route,      // route, then interrogate the same destination
    .poll = Poll,        // interrogate and read the answer from the ring
    .receive = nullptr,  // none: the operations read their own answers
};
