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

#include <cstdio>
#include <cstring>

#include "routing/tables.h"
#include "serial/ports.h"
#include "shell/debug.h"

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr int kRing = 256;       // the cyclic part of the receive buffer
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

// Reads an optionally signed decimal after blanks, as "%d" would; values
// too big for a destination or source saturate so that they fail the range
// checks.  Returns the index after the number, or -1 when there is none.
int ReadDecimal(const char *text, int at, int32_t *value)
{
    while (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))
        ++at;
    bool negative = text[at] == '-';
    if (text[at] == '-' || text[at] == '+')
        ++at;
    if (text[at] < '0' || text[at] > '9')
        return -1;
    int64_t v = 0;
    for (; text[at] >= '0' && text[at] <= '9'; ++at)
        if (v <= INT32_MAX)
            v = v * 10 + (text[at] - '0');
    if (v > INT32_MAX)
        v = INT32_MAX;
    *value = static_cast<int32_t>(negative ? -v : v);
    return at;
}

// "<dest>,<source>" after the V.  A source that is not a number means no
// known source; a destination that is not a number drops the line.
void TakeTally(int port, const char *text)
{
    int32_t dest = 0;
    int32_t source = -1;
    int at = ReadDecimal(text, 0, &dest);
    if (at < 0)
        return;
    if (text[at] != ',' || ReadDecimal(text, at + 1, &source) < 0)
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

// A CR has been stored.  Any CR is a sign of life for a failed port; a line
// is handled only when a full stop is in the buffer, and only then does the
// buffer empty and the no-reply count clear.
void CompleteLine(int port)
{
    uint8_t *buffer = Proto.RxBuffer[port];
    if (Ports.CommsFail[port] == 1)
        AcceptReply(port);
    const void *stop = std::memchr(buffer, '.', kRing - 1);
    if (stop == nullptr)
        return;
    int start = static_cast<int>(static_cast<const uint8_t *>(stop) - buffer);
    char line[kRing + 1];
    int length = 0;
    for (int i = start; length < kRing; i = (i + 1) % kRing) {
        line[length++] = static_cast<char>(buffer[i]);
        if (buffer[i] == kCR)
            break;
    }
    line[length] = 0;
    HandleLine(port, line, length);
    std::memset(buffer, 0, kRing - 1);
    Proto.RxCount[port] = 0;
    Ports.NoReply[port] = 0;
}

void VistekReceive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    int32_t &count = Proto.RxCount[port];
    if (count < 0 || count >= kRing)
        count = 0;
    Proto.RxBuffer[port][count] = byte;
    if (++count == kRing)
        count = 0;
    if (byte == kCR)
        CompleteLine(port);
}

}  // namespace

extern const ProtocolOps VistekOps;
const ProtocolOps VistekOps = {
    .name = "VISTEK",
    .route = VistekRoute,      // one set command on level Z
    .poll = VistekPoll,        // interrogate one destination on level Z
    .receive = VistekReceive,  // cyclic line buffer: tallies, ack requests
};
