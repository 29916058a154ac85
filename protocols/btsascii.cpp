// BTSASCII (profile keyword "BTSASCII", protocol code 9).
//
// An ASCII protocol of three-digit decimal fields.  Every message starts
// with "Z" and ends with a carriage return (CR, 0x0D); no checksum.  On the
// wire D = dest - MinDest of the port and S = source - 1, both zero-filled
// to three digits.
//
//   driver -> router   cycle start   "ZW999" CR, before the read of the port's first destination
//   driver -> router   read          "ZR" DDD CR
//   driver -> router   set           "ZS" DDD SSS CR
//   router -> driver   read reply    "ZR" DDD SSS CR
//   router -> driver   acknowledge   "ZY" anything CR
//
// Sample exchange with MinDest 1, destination 6 carrying source 13:
//
//   -> ZR005<CR>
//   <- ZR005012<CR>
//
// Only read replies change the tally table; a route to a destination that
// already carries the source is reported back at once (and still sent).
//
// The port's receive buffer (bytes 0..255) is a cyclic line buffer: a CR
// completes a line when a "Z" is found in bytes 0..254, otherwise the bytes
// stay and the write index wraps over the oldest ones.  Every CR brings a
// failed port back to ok; other lines than R and Y are ignored.
#include "protocols/protocol.h"

#include "protocols/linebuffer.h"

#include <cstdio>
#include <cstring>

#include "link/revertive.h"
#include "platform/debug.h"
#include "routing/tables.h"
#include "serial/ports.h"

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr int kFrameSize = 48;   // never below the nine bytes the Tx line shows
constexpr int kFieldWidth = 3;
// A wider number would stretch its field, and the router, reading three
// digits, would take another crosspoint: such a frame is not sent.  Wire
// source -1 is parking and goes out as "-01".
constexpr int32_t kMaxField = 999;

void SendText(int port, const char *text, int length)
{
    if (port < 1 || port > kMaxPorts || length <= 0 || length >= kFrameSize)
        return;
    PortTransmit(port, reinterpret_cast<const uint8_t *>(text), length);
}

void BtsPoll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wireDest = dest - Profile.Ports[port].MinDest;
    if (wireDest > kMaxField) {
        DebugPrintf("(Bts)Destination %d out of reach", dest);
        return;
    }
    char text[kFrameSize] = {};
    if (wireDest == 0) {
        std::snprintf(text, sizeof text, "ZW999%c", kCR);
        SendText(port, text, 6);
    }
    int n = std::snprintf(text, sizeof text, "ZR%03d%c", wireDest, kCR);
    SendText(port, text, n);
}

void BtsRoute(int32_t source, int32_t dest)
{
    if (IsValidDest(dest) && Routing.TallyTable[dest] == source)
        SendRevertives(dest, dest, 1, 0);
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wireDest = dest - Profile.Ports[port].MinDest;
    if (wireDest > kMaxField || source - 1 > kMaxField) {
        DebugPrintf("(Bts)Source %d or destination %d out of reach", source, dest);
        return;
    }
    char text[kFrameSize] = {};
    int n = std::snprintf(text, sizeof text, "ZS%03d%03d%c", wireDest, source - 1, kCR);
    SendText(port, text, n);
}

// Reads a field as "%3d" would: blanks skipped, then at most three
// characters of optional sign and digits.  Returns the index after the
// field, or -1 when it holds no digit.
int ReadField(const char *text, int at, int32_t *value)
{
    while (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))
        ++at;
    int end = at + kFieldWidth;
    bool negative = text[at] == '-';
    if (text[at] == '-' || text[at] == '+')
        ++at;
    if (at >= end || text[at] < '0' || text[at] > '9')
        return -1;
    int32_t v = 0;
    for (; at < end && text[at] >= '0' && text[at] <= '9'; ++at)
        v = v * 10 + (text[at] - '0');
    *value = negative ? -v : v;
    return at;
}

// "ZR" DDD SSS.  The wire numbers count from 0: a negative destination
// field, or one past the port's last output, names nothing on this port,
// and a missing source field means no known source.  A parked output is
// echoed as source -1 ("ZR005-01"): that is source 0, parking; anything
// lower is no source the device has.
void ReadReply(int port, const char *line)
{
    int32_t wireDest = 0, wireSource = -1;
    int at = ReadField(line, 2, &wireDest);
    if (at < 0 || OutsidePort(port, wireDest + Profile.Ports[port].MinDest))
        return;
    int32_t source = -1;
    if (ReadField(line, at, &wireSource) >= 0)
        source = wireSource + 1;  // three characters at most: no overflow
    ReportTally(port, wireDest + Profile.Ports[port].MinDest, source);
}

// One line from its "Z" up to and including its CR.  An acknowledgement
// ("ZY") carries nothing: like every line, it only shows the router lives.
void HandleLine(int port, const char *line, int length)
{
    if (length > 2 && line[1] == 'R')
        ReadReply(port, line);
}

// A line is handled, and the buffer emptied, when a "Z" is in the buffer;
// any CR brings a failed port back.
void BtsReceive(int port, uint8_t byte)
{
    if (!LineStore(port, byte))
        return;
    char line[kLineMax + 1];
    int length = LineTake(port, 'Z', line);
    if (length >= 0) {
        HandleLine(port, line, length);
        LineDone(port);
    }
    if (Ports.CommsFail[port] == 1)
        AcceptReply(port);
}

}  // namespace

extern const ProtocolOps BtsasciiOps;
const ProtocolOps BtsasciiOps = {
    .name = "BTSASCII",
    .route = BtsRoute,      // "ZS" set; an already-made route is reported at once
    .poll = BtsPoll,        // "ZR" read, after "ZW999" on the port's first destination
    .receive = BtsReceive,  // cyclic line buffer: read replies and acknowledgements
};
