// PESA router protocol: code 15, profile keyword "PESA".
//
// ASCII commands of fixed-width decimal fields, each closed by a
// two-character checksum and CR LF.  The checksum is the low 8 bits of the
// sum of the command's characters, high nibble first, each nibble written as
// 0x30 + nibble (so 10..15 become ":;<=>?").  Destinations travel 1-based
// within the port (d - MinDest + 1), sources as the driver's own numbers,
// three digits each.
//
//   status request   Y<ddd><cc>CR LF          Y001>:
//   take             H<ddd><sss><cc>CR LF     H0010026;
//   revertive        <ddd><mm><sss> ... LF    01201034   (destination 12, source 34)
//
// A take is followed at once by a status request for the same destination,
// without a pause: PesaDelay is read with the profile but nothing waits for
// it, as the answer comes through the receive parser whenever it arrives.
// Only revertive lines that begin with "0" are used (wire destinations below
// 100); replies carry no checksum the driver checks.  The two-digit middle
// field is printed but not used.
#include "protocols/protocol.h"

#include "platform/debug.h"
#include "serial/ports.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kLF = 0x0A;
constexpr int kLineSize = 256;  // the cyclic part of the receive buffer
constexpr int32_t kMaxField = 999;  // three decimal digits

int32_t WireDest(int port, int32_t dest) { return dest - Profile.Ports[port].MinDest + 1; }

// Appends the checksum characters and CR LF to the command text of the
// given length; returns the whole command's length.
int Seal(char *command, int length)
{
    unsigned sum = 0;
    for (int i = 0; i < length; ++i)
        sum += static_cast<uint8_t>(command[i]);
    sum &= 0xFF;
    command[length] = static_cast<char>('0' + (sum >> 4));
    command[length + 1] = static_cast<char>('0' + (sum & 0x0F));
    command[length + 2] = '\r';
    command[length + 3] = '\n';
    command[length + 4] = 0;
    return length + 4;
}

// Three-digit fields: a larger number would stretch the command and spoil
// its framing, so such a command is not sent.
bool FitsField(int32_t value) { return value >= 0 && value <= kMaxField; }

void Send(int port, char *command, int textLength)
{
    int length = Seal(command, textLength);
    DebugPrint(command);
    PortTransmit(port, reinterpret_cast<const uint8_t *>(command), length);
}

void Poll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wire = WireDest(port, dest);
    if (!FitsField(wire)) {
        DebugPrintf("(Pesa)Destination %d out of reach", dest);
        return;
    }
    char command[16] = {};
    Send(port, command, std::snprintf(command, sizeof command, "Y%03d", wire));
}

void Route(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wire = WireDest(port, dest);
    if (!FitsField(wire) || !FitsField(source)) {
        DebugPrintf("(Pesa)Source %d or destination %d out of reach", source, dest);
        return;
    }
    char command[16] = {};
    Send(port, command, std::snprintf(command, sizeof command, "H%03d%03d", wire, source));
    Poll(dest);
}

void ProcessLine(int port)
{
    char line[kLineSize + 1];
    const char *raw = reinterpret_cast<const char *>(Proto.RxBuffer[port]);
    size_t length = strnlen(raw, kLineSize);
    std::memcpy(line, raw, length);
    line[length] = 0;
    if (line[0] != '0')
        return;
    int dest = 0, middle = 0, source = 0;
    if (std::sscanf(line, "%3d%2d%3d", &dest, &middle, &source) != 3)
        return;  // a damaged line names no crosspoint
    DebugPrintf("Revertive %d %d %d", dest, middle, source);
    // Wire 000 and numbers past the port's last output name no output of
    // this port; they must not land on a neighbour's.
    int32_t system = dest - 1 + Profile.Ports[port].MinDest;
    if (!OutsidePort(port, system))
        ReportTally(port, system, source);
}

void Receive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    AcceptReply(port);
    int32_t &count = Proto.RxCount[port];
    if (count < 0 || count >= kLineSize)
        count = 0;
    Proto.RxBuffer[port][count] = byte;
    count = (count + 1) % kLineSize;
    if (byte == kLF) {
        Proto.RxBuffer[port][count] = 0;
        ProcessLine(port);
        count = 0;
    }
}

}  // namespace

extern const ProtocolOps PesaOps;
const ProtocolOps PesaOps = {
    .name = "PESA",
    .route = Route,      // take, then a status request for the same destination
    .poll = Poll,        // status request for one destination
    .receive = Receive,  // revertive lines
};
