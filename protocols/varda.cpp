// VARDARTR (keyword "VARDARTR", protocol code 7) and VARDAGPI (keyword
// "VARDAGPI", protocol code 8): two small ASCII protocols of one equipment
// family.  Commands are a letter, decimal numbers and a carriage return (CR,
// 0x0D); every reply is exactly three characters and a CR.  No checksum.
//
// VARDARTR, a small router.  On the wire D = dest - MinDest of the port and
// S = source - 1.  In replies each number is one character: "0".."9" are 0
// to 9, and from 0x40 on the value is the character - 0x37 ("A" is 10).
//
//   driver -> router   interrogate   "I" D CR            (decimal)
//   driver -> router   route         "R" S D CR          (decimal, run together)
//   router -> driver   interrogated  "I" <D char> <S char> CR
//   router -> driver   routed        "R" <S char> <D char> CR
//
//   MinDest 1, destination 4 carrying source 2:  -> I3<CR>   <- I31<CR>
//
// VARDAGPI, a unit of general-purpose outputs.  A destination is one output,
// sent as its own number; its source is its state: 1 while on, 2 while off.
//
//   driver -> unit   interrogate   "I" dest CR
//   driver -> unit   switch        "S" dest "1" CR (source 1), "S" dest "0" CR (any other)
//   unit -> driver   state         "I" or "S", output digit, state digit, CR
//
//   output 3 off:  -> I3<CR>   <- I30<CR>
//
// Replies of any other length are dropped, but every CR clears the port's
// no-reply count.  A three-character reply with an unknown first letter
// counts as a line error.  VARDARTR brings a failed port back to ok on a
// reply for one of its destinations; VARDAGPI never does.
#include "protocols/protocol.h"

#include <cstdio>
#include <cstring>

#include "link/revertive.h"
#include "routing/tables.h"
#include "serial/ports.h"

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr int kRing = 256;       // the receive count wraps here
constexpr int kReplyLength = 4;  // three characters and the CR
constexpr int kFrameSize = 48;   // never below the nine bytes the Tx line shows

void SendText(int port, const char *text, int length)
{
    if (port < 1 || port > kMaxPorts || length <= 0 || length >= kFrameSize)
        return;
    PortTransmit(port, reinterpret_cast<const uint8_t *>(text), length);
}

void RtrPoll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    char text[kFrameSize] = {};
    int n = std::snprintf(text, sizeof text, "I%d%c", dest - Profile.Ports[port].MinDest, kCR);
    SendText(port, text, n);
}

void RtrRoute(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    char text[kFrameSize] = {};
    int n = std::snprintf(text, sizeof text, "R%d%d%c", source - 1,
                          dest - Profile.Ports[port].MinDest, kCR);
    SendText(port, text, n);
}

void GpiPoll(int32_t dest)
{
    char text[kFrameSize] = {};
    int n = std::snprintf(text, sizeof text, "I%d%c", dest, kCR);
    SendText(PortForDest(dest), text, n);
}

void GpiRoute(int32_t source, int32_t dest)
{
    char text[kFrameSize] = {};
    int n = std::snprintf(text, sizeof text, "S%d%c%c", dest, source == 1 ? '1' : '0', kCR);
    SendText(PortForDest(dest), text, n);
}

// The value of a VARDARTR reply character.  Below "0" the values go
// negative: "/" is -1, the wire source of parking (source 0).
int CharValue(uint8_t c) { return c < 0x40 ? c - 0x30 : c - 0x37; }

// A tally from the router.  A source character the device has no source
// for is reported as no source, like every other router's; a destination
// character below "0", or past the port's last output, is no output of this
// port (it would name one of the port below or above), so the reply is
// dropped.
void RtrReply(int port, const uint8_t *reply)
{
    int destValue, sourceValue;
    if (reply[0] == 'I') {
        destValue = CharValue(reply[1]);
        sourceValue = CharValue(reply[2]);
    } else if (reply[0] == 'R') {
        sourceValue = CharValue(reply[1]);
        destValue = CharValue(reply[2]);
    } else {
        NotePortError(port);
        return;
    }
    int32_t dest = destValue + Profile.Ports[port].MinDest;
    if (!IsValidDest(dest) || OutsidePort(port, dest))
        return;
    ReportTally(port, dest, sourceValue + 1);
    if (Ports.CommsFail[port] == 1)
        AcceptReply(port);
}

// An output's state: the digit 1 is source 1 (on), 0 is source 2 (off).
// Outputs and states are character - "0", so ":" is output 10.  A state
// that is neither is compared as its value: it differs from the 1 or 2 the
// table holds, so the output is reported again.  The table itself only
// ever gets 1 or 2; with a revertive delay the pending entry takes the
// value, which the next tick copies in, or -1 when the device has no such
// source (as every protocol's received sources).
void GpiReply(int port, const uint8_t *reply)
{
    if (reply[0] != 'I' && reply[0] != 'S') {
        NotePortError(port);
        return;
    }
    int32_t dest = reply[1] - '0';
    if (!IsValidDest(dest))
        return;
    int32_t state = reply[2] - '0';
    if (state == 0)
        state = 2;
    if (state == Routing.TallyTable[dest])
        return;
    if (Profile.RevertiveDelay != 0) {
        Routing.PendingTable[dest] = IsValidSource(state) ? state : -1;
        return;
    }
    Routing.TallyTable[dest] = state == 1 ? 1 : 2;
    SendRevertives(dest, dest, 1, 0);
}

using ReplyHandler = void (*)(int port, const uint8_t *reply);

// Both protocols collect a line the same way; only a line of exactly three
// characters and its CR is a reply.
void Collect(int port, uint8_t byte, ReplyHandler handle)
{
    if (port < 1 || port > kMaxPorts)
        return;
    uint8_t *buffer = Proto.RxBuffer[port];
    int32_t &count = Proto.RxCount[port];
    if (count < 0 || count >= kRing)
        count = 0;
    buffer[count] = byte;
    if (++count == kRing)
        count = 0;
    if (byte != kCR)
        return;
    if (count == kReplyLength)
        handle(port, buffer);
    std::memset(buffer, 0, kRing - 1);
    count = 0;
    Ports.NoReply[port] = 0;
}

void RtrReceive(int port, uint8_t byte) { Collect(port, byte, RtrReply); }
void GpiReceive(int port, uint8_t byte) { Collect(port, byte, GpiReply); }

}  // namespace

extern const ProtocolOps VardartrOps;
extern const ProtocolOps VardagpiOps;

const ProtocolOps VardartrOps = {
    .name = "VARDARTR",
    .route = RtrRoute,      // "R" source - 1, dest - MinDest
    .poll = RtrPoll,        // "I" dest - MinDest
    .receive = RtrReceive,  // three-character replies
};

const ProtocolOps VardagpiOps = {
    .name = "VARDAGPI",
    .route = GpiRoute,      // "S" dest and the on/off digit
    .poll = GpiPoll,        // "I" dest
    .receive = GpiReceive,  // three-character replies
};
