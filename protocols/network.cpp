// NETWORK router protocol (code 12).
//
// Binary messages of three bytes without terminator or checksum.  Only the
// first byte has its top bit set, so any such byte starts a new message.
// The header H is the type base (0xA0 video, 0x90 audio) plus the router
// level 0..15; the interrogation byte Q is 0xC0 plus the level.  The
// destination counts from 0 at the port's MinDest, the source from 0 at
// source 1; both go out as their low eight bits.
//
//   interrogate  Q 00         (driver to router; the router answers with
//                              a tally message per crosspoint)
//   route        H dest src   (driver to router)
//   tally        H dest src   (router to driver)
//
// Sample: video, level 3, MinDest 1: routing source 10 to destination 6
// sends A3 05 09, the poll sends C3 00, and the router's A3 05 09 sets
// destination 6 to source 10.
//
// The first pass of tallies after start-up fills the table silently; the
// tally of the last real destination reports the whole range in one block
// (NetworkSweepDone).  From then on each change is reported on its own.
#include "protocols/network.h"

#include "link/commands.h"
#include "link/revertive.h"
#include "link/zoltif.h"
#include "platform/shellstate.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"

int32_t NetworkSweepDone = 0;

extern const ProtocolOps NetworkOps;

namespace {

constexpr uint8_t kAudioBase = 0x90;
constexpr uint8_t kVideoBase = 0xA0;
constexpr uint8_t kInterrogateBase = 0xC0;
constexpr int kMessageLength = 3;
// PortTransmit logs nine bytes of every frame: keep frame buffers that long.
constexpr int kFrameBuffer = 9;
constexpr UINT kTallyToExternal = 2741;

uint8_t Level()
{
    int32_t level = Profile.NetworkRouterLvl;
    return static_cast<uint8_t>(level >= 0 && level <= 15 ? level : 0);
}

uint8_t Header()
{
    uint8_t base = Profile.NetworkRouterType == kAudioBase ? kAudioBase : kVideoBase;
    return static_cast<uint8_t>(base + Level());
}

void NetworkRoute(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    uint8_t message[kFrameBuffer] = {Header(),
                                     static_cast<uint8_t>((dest - Profile.Ports[port].MinDest) & 0xFF),
                                     static_cast<uint8_t>((source - 1) & 0xFF)};
    PortTransmit(port, message, kMessageLength);
}

// The destination only picks the port: every poll asks for the whole level.
void NetworkPoll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    uint8_t message[kFrameBuffer] = {static_cast<uint8_t>(kInterrogateBase + Level()), 0x00};
    PortTransmit(port, message, 2);
}

void NotifyExternal(int32_t dest)
{
    if (Shell.ExternalDriverWindow != 0 && Profile.DriverMode == kDriverInternal)
        ZOLT32TxMessage(Shell.ExternalDriverWindow, kTallyToExternal, static_cast<WPARAM>(dest),
                        Routing.TallyTable[dest], 0, 0);
}

// During the sweep a tally follows the shared rules but sends no revertive:
// the block report at the sweep's end covers it.  Returns 1 when the tally
// table itself changed.
int StoreTally(int port, int32_t dest, int32_t source)
{
    if (NetworkSweepDone == 1)
        return ReportTally(port, dest, source) && Profile.RevertiveDelay == 0;
    if (!IsValidDest(dest))
        return 0;
    if (!IsValidSource(source))
        source = -1;
    if (Routing.TallyTable[dest] == source)
        return 0;
    if (Profile.RevertiveDelay != 0) {
        Routing.PendingTable[dest] = source;
        return 0;
    }
    Routing.TallyTable[dest] = source;
    return 1;
}

// The sweep ends with the last real destination: the one before the first
// virtual source, or the last destination.
void CheckSweepEnd(int32_t dest)
{
    if (NetworkSweepDone != 0)
        return;
    int32_t last = Profile.FirstVirtual == 0 ? Profile.DatabaseSize_1 : Profile.FirstVirtual - 1;
    if (dest != last || !IsValidDest(dest))
        return;
    SendRevertives(1, dest, 1, 0);
    NetworkSweepDone = 1;
}

void ProcessMessage(int port, const uint8_t *message)
{
    // Any complete message, of any level, shows the router is there.
    AcceptReply(port);
    Commands.CommandsEnabled = 1;
    if (message[0] != Header())
        return;
    int32_t dest = message[1] + Profile.Ports[port].MinDest;
    // The router reports its whole level; outputs past the port's last are
    // not ours (nor the end of our sweep), whatever port owns that number.
    if (OutsidePort(port, dest))
        return;
    int32_t source = message[2] + 1;
    if (StoreTally(port, dest, source))
        NotifyExternal(dest);
    CheckSweepEnd(dest);
}

void NetworkReceive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    int32_t &count = Proto.RxCount[port];
    if ((byte & 0x80) != 0 || count < 0 || count >= kMessageLength)
        count = 0;
    uint8_t *buffer = Proto.RxBuffer[port];
    buffer[count] = byte;
    if (count == kMessageLength - 1) {
        ProcessMessage(port, buffer);
        count = 0;
    } else {
        ++count;
    }
    // Every byte is a sign of life, complete message or not.
    Ports.NoReply[port] = 0;
}

}  // namespace

const ProtocolOps NetworkOps = {
    .name = "NETWORK",
    .route = NetworkRoute,      // one route message
    .poll = NetworkPoll,        // interrogate the whole level
    .receive = NetworkReceive,  // three-byte tally messages
};
