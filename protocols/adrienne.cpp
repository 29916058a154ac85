// ADRIENNE (profile keyword "ADRIENNE", protocol code 14).
//
// A short binary-framed protocol for an addressed unit whose whole state is
// one selected input.  Whatever destination is routed or polled on the
// port, the unit's state is the tally of destination 1.  A1 A2 are the
// profile's AdrienneAddress as two ASCII digits ("%02d"); the source travels
// as one ASCII digit SD = 0x30 + source - 1, so source 1 is "0" and source
// 10 is "9".  No checksum.
//
//   driver -> unit   interrogate   02 A1 A2 05
//   driver -> unit   select        02 A1 A2 SD SD   (the digit twice)
//   unit -> driver   status        SD, one byte not examined, 31
//
// Sample exchange at address 5, the unit on source 3:
//
//   -> 02 30 35 05
//   <- 32 00 31
//
// A select updates destination 1 at once while the port is not failed,
// without waiting for the unit's status.  The parser collects at most four
// bytes; a status is taken when its third byte is 0x31.  There is no error
// reply, no error counting, and the parser never clears a comms failure.
#include "protocols/protocol.h"

#include <cstring>

#include "link/revertive.h"
#include "routing/tables.h"
#include "serial/ports.h"

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kStatusEnd = 0x31;
constexpr int kCollect = 4;      // bytes held before the collection starts again
constexpr int kFrameSize = 16;   // never below the nine bytes the Tx line shows
constexpr int32_t kUnitDest = 1;

void SendFrame(int port, const uint8_t *frame, int length)
{
    if (port < 1 || port > kMaxPorts)
        return;
    PortTransmit(port, frame, length);
}

void AdriennePoll(int32_t dest)
{
    uint8_t frame[kFrameSize] = {kStx, static_cast<uint8_t>(Profile.AdrienneAddressDigits[0]),
                                 static_cast<uint8_t>(Profile.AdrienneAddressDigits[1]), kEnq};
    SendFrame(PortForDest(dest), frame, 4);
}

void AdrienneRoute(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    uint8_t digit = static_cast<uint8_t>(0x30 + source - 1);
    uint8_t frame[kFrameSize] = {kStx, static_cast<uint8_t>(Profile.AdrienneAddressDigits[0]),
                                 static_cast<uint8_t>(Profile.AdrienneAddressDigits[1]), digit,
                                 digit};
    SendFrame(port, frame, 5);
    if (Ports.CommsFail[port] == 0) {
        Routing.TallyTable[kUnitDest] = source;
        SendRevertives(kUnitDest, kUnitDest, 1, 0);
    }
}

void ClearCollection(int port)
{
    std::memset(Proto.RxBuffer[port], 0, 3);
    Proto.RxCount[port] = 0;
}

void AdrienneReceive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    uint8_t *buffer = Proto.RxBuffer[port];
    if (Proto.RxCount[port] < 0 || Proto.RxCount[port] >= kCollect)
        ClearCollection(port);
    buffer[Proto.RxCount[port]++] = byte;
    if (buffer[2] == kStatusEnd) {
        ReportTally(port, kUnitDest, buffer[0] - 0x2F);  // the digit "0" is source 1
        ClearCollection(port);
    }
    Ports.NoReply[port] = 0;
}

}  // namespace

extern const ProtocolOps AdrienneOps;
const ProtocolOps AdrienneOps = {
    .name = "ADRIENNE",
    .route = AdrienneRoute,      // select; destination 1 follows at once
    .poll = AdriennePoll,        // interrogate the unit
    .receive = AdrienneReceive,  // three-byte status, always destination 1
};
