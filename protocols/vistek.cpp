// VISTEK (profile keyword "VISTEK", protocol code 5).
//
// A text protocol framed like HBXRCP: every message starts with a full stop
// and ends with a carriage return (CR, 0x0D).  Numbers are decimal, without
// sign or leading zeros, and are the driver's own destination and source
// numbers.  The driver always addresses level Z.
//
//   driver -> router   interrogate       ".IZ<dest>,-" CR
//   driver -> router   set crosspoint    ".SZ<dest>,<source>" CR
//   router -> driver   tally             "." <A|I|S|X|Z> "V" <dest> "," <source> CR
//   router -> driver   wants an ack      "." <E|P> anything CR
//   driver -> router   acknowledge       ".A" CR, sent at once on the same port
//
// Sample exchange for destination 12 carrying source 5:
//
//   -> .IZ12,-<CR>
//   <- .SV12,5<CR>
//
// A line whose second character is anything else is a line error and is
// counted on the port.  Tally lines whose third character is not V, or that
// name a destination this device does not have, are dropped quietly.
//
// The port's receive buffer (bytes 0..255) is a cyclic line buffer: a CR
// completes a line when a full stop is found in bytes 0..254, otherwise the
// bytes stay and the write index wraps over the oldest ones.
#include "protocols/protocol.h"

#include "protocols/linebuffer.h"

#include <cstdio>
#include <cstring>

#include "platform/debug.h"
#include "routing/tables.h"
#include "serial/ports.h"

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr int kFrameSize = 48;   // never below the nine bytes the Tx line shows

void SendText(int port, const char *text, int length)
{
    if (port < 1 || port > kMaxPorts || length <= 0)
        return;
    PortTransmit(port, reinterpret_cast<const uint8_t *>(text), length);
}

void VistekPoll(int32_t dest)
{
    char text[kFrameSize] = {};
    int n = std::snprintf(text, sizeof text, ".IZ%d,-%c", dest, kCR);
    if (n > 0 && n < kFrameSize)
        SendText(PortForDest(dest), text, n);
}

// The set command goes to the debug output as well, without its CR so that
// the log line stays one line.
void VistekRoute(int32_t source, int32_t dest)
{
    char text[kFrameSize] = {};
    int n = std::snprintf(text, sizeof text, ".SZ%d,%d", dest, source);
    if (n <= 0 || n >= kFrameSize - 1)
        return;
    DebugPrint(text);
    text[n++] = static_cast<char>(kCR);
    SendText(PortForDest(dest), text, n);
}

// "<dest>,<source>" after the V.  A source that is not a number means no
// known source; a destination that is not a number drops the line.
void TakeTally(int port, const char *text)
{
    int32_t dest = 0;
    int32_t source = -1;
    int at = ReadLineDecimal(text, 0, &dest);
    if (at < 0)
        return;
    if (text[at] != ',' || ReadLineDecimal(text, at + 1, &source) < 0)
        source = -1;
    if (IsValidDest(dest))
        ReportTally(port, dest, source);
}

void SendAcknowledge(int port)
{
    char ack[kFrameSize] = {'.', 'A', static_cast<char>(kCR)};
    SendText(port, ack, 3);
}

// One line from its full stop up to and including its CR.
void HandleLine(int port, const char *line, int length)
{
    if (length < 2)
        return;
    switch (line[1]) {
    case 'A': case 'I': case 'S': case 'X': case 'Z':
        if (length > 3 && line[2] == 'V')
            TakeTally(port, line + 3);
        break;
    case 'E': case 'P':
        SendAcknowledge(port);
        break;
    default:
        NotePortError(port);  // counted; the comms state stays as it is
        break;
    }
}

// Any CR is a sign of life for a failed port; a line is handled, and the
// buffer emptied, only when a full stop is in the buffer.
void VistekReceive(int port, uint8_t byte)
{
    if (!LineStore(port, byte))
        return;
    if (Ports.CommsFail[port] == 1)
        AcceptReply(port);
    char line[kLineMax + 1];
    int length = LineTake(port, '.', line);
    if (length < 0)
        return;
    HandleLine(port, line, length);
    LineDone(port);
}

}  // namespace

extern const ProtocolOps VistekOps;
const ProtocolOps VistekOps = {
    .name = "VISTEK",
    .route = VistekRoute,      // one set command on level Z
    .poll = VistekPoll,        // interrogate one destination on level Z
    .receive = VistekReceive,  // cyclic line buffer: tallies, ack requests
};
