// SONY router protocol: code 16, profile keyword "SONY".
//
// Framed binary messages, the same layout both ways:
//
//   02  N  31  addr  01  cmd  data...  checksum
//
// N counts the bytes from index 2 up to the byte before the checksum; the
// checksum is the two's complement of the byte sum of indices 1 up to the
// byte before it (the start byte is not included), so those bytes and the
// checksum add up to 0 modulo 256.  addr is SonyAddress.  Commands: 62
// interrogate (data: destination), 22 connect (data: source, destination),
// 72 tally from the router (data: source, destination).  Destinations travel
// 1-based within the port (d - MinDest + 1), sources as the driver's own
// numbers, both as 7-bit values.
//
// Sample, address 1, port starting at destination 1:
//   connect source 3 to destination 1   02 06 31 01 01 22 03 01 A1
//   interrogate destination 1           02 05 31 01 01 62 01 65
//   the router's tally                  02 06 31 01 01 72 03 01 51
//
// A route is a connect followed at once by an interrogate of the same
// destination, so the router reports the new crosspoint.  SonyDelay is read
// with the profile but nothing waits for it: the router's tally frame comes
// through the receive parser whenever it arrives.
#include "protocols/protocol.h"

#include "platform/debug.h"
#include "routing/tables.h"
#include "serial/ports.h"

#include <cstring>

namespace {

constexpr uint8_t kStart = 0x02;
constexpr uint8_t kInterrogate = 0x62;
constexpr uint8_t kConnect = 0x22;
constexpr uint8_t kTally = 0x72;
constexpr int32_t kMaxCount = 16;  // a frame still open past this is dropped (17 bytes at most)
constexpr int32_t kMaxWire = 0x7F;

// Two's complement of the byte sum over frame[1..last], with the diagnostic
// lines that let an engineer check a frame by hand.
uint8_t Checksum(const uint8_t *frame, int last)
{
    int sum = 0;
    for (int i = 1; i <= last; ++i) {
        int value = static_cast<int8_t>(frame[i]);
        DebugPrintf("Byte %d", value);
        sum += value;
    }
    DebugPrintf("Checksum %d", sum);
    uint8_t result = static_cast<uint8_t>(0u - static_cast<unsigned>(sum));
    DebugPrintf("Checksum should be %02x %d", result, result);
    return result;
}

// The frame's numbers are 7 bits wide.  A number that does not fit is not
// sent at all: cut to its low bits it would name another crosspoint.
bool FitsWire(int32_t value) { return value >= 0 && value <= kMaxWire; }

int32_t WireDest(int port, int32_t dest) { return dest - Profile.Ports[port].MinDest + 1; }

uint8_t Address() { return static_cast<uint8_t>(Profile.SonyAddress & 0xFF); }

void Poll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wire = WireDest(port, dest);
    if (!FitsWire(wire)) {
        DebugPrintf("(Sony)Destination %d out of reach", dest);
        return;
    }
    // Nine bytes at least: the port manager's Tx line shows nine.
    uint8_t frame[9] = {kStart, 0x05, 0x31, Address(), 0x01, kInterrogate,
                        static_cast<uint8_t>(wire)};
    frame[7] = Checksum(frame, 6);
    PortTransmit(port, frame, 8);
}

void Route(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t wire = WireDest(port, dest);
    DebugPrintf("(Sony)Router Connect %d %d", source, wire);
    if (!FitsWire(wire) || !FitsWire(source)) {
        DebugPrintf("(Sony)Source %d or destination %d out of reach", source, dest);
        return;
    }
    uint8_t frame[9] = {kStart, 0x06, 0x31, Address(), 0x01, kConnect,
                        static_cast<uint8_t>(source), static_cast<uint8_t>(wire)};
    frame[8] = Checksum(frame, 7);
    PortTransmit(port, frame, 9);
    Poll(dest);
}

// A complete frame in the port's buffer.  Only tally frames are wanted; the
// checksum always covers indices 1..7 against byte 8, the tally's layout.
void ProcessFrame(int port)
{
    const uint8_t *f = Proto.RxBuffer[port];
    uint8_t sum = Checksum(f, 7);
    DebugPrintf("CheckSum is %02x, %d", sum, sum);
    DebugPrintf("[Port %d] Rx %02x %02x %02x %02x %02x %02x", port, f[0], f[1], f[2], f[3], f[4],
                f[5]);
    if (f[5] != kTally || sum != f[8]) {
        NotePortError(port);
        return;
    }
    DebugPrint("TALLY");
    // Wire 0 and numbers past the port's last output name no output of this
    // port; they must not land on a neighbour's.
    int32_t dest = f[7] - 1 + Profile.Ports[port].MinDest;
    if (!IsValidDest(dest) || OutsidePort(port, dest))
        return;
    DebugPrint("Dest valid");
    if (ReportTally(port, dest, f[6]))
        DebugPrint("UPDATING");
}

// A frame is open while the buffer holds the start byte at index 0: bytes
// collected outside a frame never include a 0x02 (one would have opened a
// frame), and the count is 0 again whenever a frame ends or is dropped.
// Keeping this per port means two SONY ports never cut each other's frames.
bool InFrame(int port) { return Proto.RxCount[port] > 0 && Proto.RxBuffer[port][0] == kStart; }

void Receive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    uint8_t *buffer = Proto.RxBuffer[port];
    int32_t &count = Proto.RxCount[port];
    if (count < 0 || count > kMaxCount)
        count = 0;
    DebugPrintf("(%d) - %02x '%c'", count, byte, byte);
    if (!InFrame(port) && byte == kStart) {
        buffer[0] = kStart;
        count = 1;
        std::memset(buffer + 1, 0, 255);
        AcceptReply(port);
    } else {
        DebugPrintf(">>> %d %d", count, buffer[1] + 2);
        buffer[count] = byte;
        if (count > 2 && count == buffer[1] + 2) {
            ProcessFrame(port);
            count = 0;
        } else {
            ++count;
        }
    }
    if (count > kMaxCount)
        count = 0;
    Ports.NoReply[port] = 0;
}

}  // namespace

extern const ProtocolOps SonyOps;
const ProtocolOps SonyOps = {
    .name = "SONY",
    .route = Route,      // connect, then interrogate the same destination
    .poll = Poll,        // interrogate one destination
    .receive = Receive,  // tally frames from the router
};
