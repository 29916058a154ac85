// PROBEL router protocol (code 2).
//
// Short binary messages that open with 0xFF; every other byte keeps its top
// bit clear.  Destination and source are ten-bit numbers: their low seven
// bits travel in a byte of their own, bits 7-9 of both share the multiplier
// byte (destination bits in 4-6, source bits in 0-2).  On the wire the
// destination counts from 0 at the port's MinDest, the source from 0 at
// source 1.  The checksum is (-(sum of bytes 1..n)) & 0x7F.
//
//   interrogate  FF 01 mult dest cs          (driver to router, 5 bytes)
//   connect      FF 02 mult dest src cs      (driver to router, 6 bytes)
//   tally        FF 03|04 mult dest src cs   (router to driver, 6 bytes)
//
// Sample: on a port with MinDest 1, routing source 5 to destination 130
// sends FF 02 10 01 04 69; the router confirms with FF 03 10 01 04 68.
//
// A 0xFF always starts a fresh message, also in the middle of another one,
// so a router that cuts a message short costs only that message.  The count
// is left where it is after a message: later bytes before the next 0xFF
// never make a second message out of the same start.  PROBEL is the one
// protocol whose recovering router also takes the driver back to Tx/Rx.
#include "protocols/protocol.h"

#include <cstring>

#include "link/attach.h"
#include "platform/debug.h"
#include "serial/ports.h"

extern const ProtocolOps ProbelOps;

namespace {

constexpr uint8_t kStart = 0xFF;
constexpr uint8_t kInterrogate = 1;
constexpr uint8_t kConnect = 2;
constexpr uint8_t kTally = 3;
constexpr uint8_t kConnected = 4;
// PortTransmit logs nine bytes of every frame: keep frame buffers that long.
constexpr int kFrameBuffer = 9;
// Collection stops at the end of the part of the receive buffer we use.
constexpr int kCollectLimit = 256;
// Ten-bit wire numbers.  Cut to ten bits a larger one would name another
// crosspoint, so it is not sent; wire source 1023 is parking (source 0),
// which leaves sources 1 to 1023.
constexpr int32_t kMaxWire = 1023;
constexpr int32_t kMaxSource = kMaxWire;

uint8_t Checksum(const uint8_t *message, int last)
{
    unsigned sum = 0;
    for (int i = 1; i <= last; ++i)
        sum += message[i];
    return static_cast<uint8_t>((0u - sum) & 0x7F);
}

uint8_t Multiplier(int32_t wireSource, int32_t wireDest)
{
    return static_cast<uint8_t>(((wireSource >> 7) & 7) | ((wireDest & 0x380) >> 3));
}

void ProbelPoll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t d = dest - Profile.Ports[port].MinDest;
    if (d > kMaxWire) {
        DebugPrintf("(Probel)Destination %d out of reach", dest);
        return;
    }
    uint8_t message[kFrameBuffer] = {kStart, kInterrogate, Multiplier(0, d),
                                     static_cast<uint8_t>(d & 0x7F)};
    message[4] = Checksum(message, 3);
    PortTransmit(port, message, 5);
}

// Source 0 (parking) goes out as wire source 1023, as the arithmetic gives.
void ProbelRoute(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t d = dest - Profile.Ports[port].MinDest;
    if (d > kMaxWire || source > kMaxSource) {
        DebugPrintf("(Probel)Source %d or destination %d out of reach", source, dest);
        return;
    }
    int32_t s = source - 1;
    uint8_t message[kFrameBuffer] = {kStart, kConnect, Multiplier(s, d),
                                     static_cast<uint8_t>(d & 0x7F),
                                     static_cast<uint8_t>(s & 0x7F)};
    message[5] = Checksum(message, 4);
    PortTransmit(port, message, 6);
}

// 0 for a command byte that makes no message we know: such a message is
// never complete and dies with the next 0xFF.
int ExpectedLength(uint8_t command)
{
    if (command == kInterrogate)
        return 5;
    if (command == kConnect || command == kTally || command == kConnected)
        return 6;
    return 0;
}

void ProcessMessage(int port, const uint8_t *message)
{
    uint8_t command = message[1];
    int last = command == kInterrogate ? 3 : 4;
    if (Checksum(message, last) != message[last + 1]) {
        NotePortError(port);
        return;
    }
    // Interrogates and connects echoed by the router carry no tally.
    if (command != kTally && command != kConnected)
        return;
    uint8_t mult = message[2];
    int32_t wireDest = ((mult & 0x70) << 3) | (message[3] & 0x7F);
    int32_t wireSource = ((mult & 0x07) << 7) | (message[4] & 0x7F);
    int32_t dest = wireDest + Profile.Ports[port].MinDest;
    if (OutsidePort(port, dest))
        return;  // an output of a router larger than this port: not ours
    ReportTally(port, dest, wireSource + 1);
}

// A router that answers again after a comms failure is reported ok, and
// takes the driver back to Tx/Rx when it was this port (or any port) that
// sent it to Rx Only.
void StartMessage(int port)
{
    uint8_t *buffer = Proto.RxBuffer[port];
    buffer[0] = kStart;
    std::memset(buffer + 1, 0, kCollectLimit - 1);
    Proto.RxCount[port] = 1;
    bool wasFailed = Ports.CommsFail[port] == 1;
    AcceptReply(port);
    int32_t rule = Profile.GoRxOnlyOnComFail;
    if (wasFailed && (rule == port || rule == 0))
        SetTxRxMode(2);
}

void ProbelReceive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    // Any byte at all is a sign of life, garbage included.
    Ports.NoReply[port] = 0;
    if (byte == kStart) {
        StartMessage(port);
        return;
    }
    int32_t &count = Proto.RxCount[port];
    // Bytes before the first 0xFF belong to no message.
    if (count < 1 || count >= kCollectLimit)
        return;
    uint8_t *buffer = Proto.RxBuffer[port];
    buffer[count++] = byte;
    int expected = ExpectedLength(buffer[1]);
    if (expected != 0 && count == expected)
        ProcessMessage(port, buffer);
}

}  // namespace

const ProtocolOps ProbelOps = {
    .name = "PROBEL",
    .route = ProbelRoute,      // connect, one message
    .poll = ProbelPoll,        // interrogate, one message
    .receive = ProbelReceive,  // 0xFF-started collector
};
