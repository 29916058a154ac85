// COX router protocol: code 4, profile keyword "COX".
//
// Short binary requests and answers, each ending with a checksum byte that
// makes the byte sum of the whole message 0 modulo 256.  The wire
// destination is d = D - MinDest, the wire source s = S - 1, one byte each
// (source 0 goes out as FF).
//
//   interrogate          02 d cs        02 0B F3      (destination 12, port from 1)
//   interrogate answer   s cs           04 FC         (source 5)
//   route                01 s d cs      01 04 0B F0   (source 5 to destination 12)
//   route acknowledge    04
//
// The port has no receive parser and no notify window: each operation reads
// the router's answer from the comms library's ring itself, waiting for it
// up to 100 ms and going on as soon as it is there, then throws away
// whatever else the ring holds.  Bytes already in the ring when a request
// starts are late answers to earlier requests and are thrown away first, so
// that they are never taken for this request's answer.
#include "protocols/protocol.h"

#include "protocols/answer.h"

#include "platform/cells.h"
#include "platform/debug.h"
#include "platform/loop.h"
#include "routing/tables.h"
#include "serial/comms.h"
#include "serial/ports.h"


namespace {

constexpr uint32_t kAnswerWaitMs = 100;
constexpr uint8_t kInterrogate = 0x02;
constexpr uint8_t kRoute = 0x01;
constexpr uint8_t kAcknowledge = 0x04;
constexpr int32_t kMaxWireDest = 0xFF;
// Source 0 goes out as FF; source 256 would too, and the router could not
// tell them apart, so the highest source a route may name is 255.
constexpr int32_t kMaxSource = 255;

// The byte that makes the sum of message[0..length) and itself 0 modulo 256.
uint8_t Checksum(const uint8_t *message, int length)
{
    unsigned sum = 0;
    for (int i = 0; i < length; ++i)
        sum += message[i];
    return static_cast<uint8_t>(0u - sum);
}

// The wire destination, or -1 when it does not fit its byte (cut to its low
// bits it would name another destination).
int32_t WireDest(int port, int32_t dest)
{
    int32_t wire = dest - Profile.Ports[port].MinDest;
    return wire >= 0 && wire <= kMaxWireDest ? wire : -1;
}

// A tally the router confirmed: through the shared contract, and the
// keyboard panel follows when the table itself changed.
void Confirm(int port, int32_t dest, int32_t source)
{
    if (ReportTally(port, dest, source) && Profile.RevertiveDelay == 0)
        ShowSelectedDest();
}

void Poll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wire = WireDest(port, dest);
    if (wire < 0) {
        DebugPrintf("(Cox)Destination %d out of reach", dest);
        return;
    }
    int index = Ports.CommIndex[port];
    DiscardLate(index);
    uint8_t request[9] = {kInterrogate, static_cast<uint8_t>(wire)};  // nine: the Tx line shows nine
    request[2] = Checksum(request, 2);
    PortTransmit(port, request, 3);
    uint8_t answer[2] = {};
    int n = ReadAnswer(index, answer, 2, kAnswerWaitMs);
    if (n <= 0) {
        ClearLineErrors(index);
        return;
    }
    if (Ports.CommsFail[port] == 1)
        AcceptReply(port);
    if (n < 2)
        return;  // the lone first byte is used up
    if (static_cast<uint8_t>(answer[0] + answer[1]) == 0) {
        Ports.NoReply[port] = 0;
        Confirm(port, dest, answer[0] + 1);
    } else {
        ++Ports.ErrorCount[port];  // counted; the Errors cell shows it at its next refresh
    }
    DiscardLate(index);
}

void Route(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wire = WireDest(port, dest);
    if (wire < 0 || source < 0 || source > kMaxSource) {
        DebugPrintf("(Cox)Source %d or destination %d out of reach", source, dest);
        return;
    }
    int index = Ports.CommIndex[port];
    DiscardLate(index);
    uint8_t request[9] = {kRoute, static_cast<uint8_t>((source - 1) & 0xFF),
                          static_cast<uint8_t>(wire)};
    request[3] = Checksum(request, 3);
    PortTransmit(port, request, 4);
    uint8_t answer = 0;
    if (ReadAnswer(index, &answer, 1, kAnswerWaitMs) <= 0) {
        ClearLineErrors(index);
        return;
    }
    DebugPrintf("Byte = %02x", answer);
    if (answer == kAcknowledge)
        Confirm(port, dest, source);  // the source as requested
    else
        ++Ports.ErrorCount[port];
    DiscardLate(index);
    ClearLineErrors(index);
}

}  // namespace

extern const ProtocolOps CoxOps;
const ProtocolOps CoxOps = {
    .name = "COX",
    .route = Route,      // route and read its acknowledge from the ring
    .poll = Poll,        // interrogate and read the answer from the ring
    .receive = nullptr,  // none: the operations read their own answers
};
