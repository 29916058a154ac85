// BTSESSWITCH router protocol (code 11).
//
// Framed binary link: 02 (start), L (data length), L data bytes, checksum.
// The checksum makes the length byte, the data and itself add up to 0
// modulo 256; we put it on what we send and do not check what we receive.
// Each side answers every frame with the single byte 04 (ACK); outside a
// frame the router may also send 05 (NACK).
//
//   start-up request   02 0C 60 41 FF 60 42 FF 60 44 FF FF 22 47 A8
//   preparation        02 03 3F 07 47 70
//   route request      02 07 42 FF FF SH SL DH DL CS
//                      (S = source - 1, D = destination - MinDest, 16-bit
//                      big-endian)
//   start-up notice    any frame whose byte 2 is 40: the router restarted
//   tally report       a frame whose byte 4 is 47 ("G"); from byte 4 on,
//                      records of: 47, two bytes, destination (2, 0-based
//                      at MinDest), n (2), n sources (2 each, 0-based)
//
// Sample: on a port with MinDest 1, routing source 1 to destination 1 sends
// 02 07 42 FF FF 00 00 00 00 B9; the router's report
// 02 0B 00 00 47 00 00 00 04 00 01 00 09 A0 sets destination 5 to source 10.
//
// There is no polling: the start-up request asks the router to report
// changes by itself, and is repeated every 10 seconds (timer 5 of the main
// dialog) until a tally report shows that it was heard.
#include "protocols/btsesswitch.h"

#include <cstring>

#include "link/revertive.h"
#include "link/zoltif.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "platform/loop.h"
#include "platform/shellstate.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"

extern const ProtocolOps BtsesswitchOps;

namespace {

constexpr uint8_t kProtocolCode = 11;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kAck = 0x04;
constexpr uint8_t kNak = 0x05;
constexpr uint8_t kStartupNotice = 0x40;
constexpr uint8_t kRecord = 0x47;
constexpr int kCollectLimit = 256;  // the part of the receive buffer we use
constexpr int kFrameBuffer = 16;    // our own frames, and PortTransmit's nine-byte log
constexpr uintptr_t kRetryTimer = 5;
constexpr uint32_t kRetryPeriodMs = 10000;
constexpr UINT kTallyToExternal = 2741;

const uint8_t kStartupData[] = {0x60, 0x41, 0xFF, 0x60, 0x42, 0xFF,
                                0x60, 0x44, 0xFF, 0xFF, 0x22, 0x47};
const uint8_t kPreparationData[] = {0x3F, 0x07, 0x47};

// The link flags are shared by all BTSESSWITCH ports.  Frame collection is
// kept per port, so that two routers talking at once cannot corrupt each
// other's frames.
struct BtsLinkState {
    int32_t BtsInMessage[kMaxPorts + 1] = {};
    int32_t BtsLength[kMaxPorts + 1] = {};
    int32_t BtsStartupConfirmed = 0;
    int32_t BtsPrepSent = 0;
    int32_t BtsRetryTimerOn = 0;
};
BtsLinkState Bts;

// Frames data into out (at least kFrameBuffer bytes); returns its length.
int BuildFrame(const uint8_t *data, int length, uint8_t *out)
{
    std::memset(out, 0, kFrameBuffer);
    out[0] = kStx;
    out[1] = static_cast<uint8_t>(length);
    std::memcpy(out + 2, data, static_cast<size_t>(length));
    unsigned sum = 0;
    for (int i = 1; i <= length + 1; ++i)
        sum += out[i];
    out[length + 2] = static_cast<uint8_t>(0u - sum);
    return length + 3;
}

bool IsBtsPort(int port)
{
    return Ports.InUse[port] == 1 && Profile.Ports[port].Protocol == kProtocolCode;
}

void NotifyExternal(int32_t dest, int32_t source)
{
    if (Shell.ExternalDriverWindow != 0 && Profile.DriverMode == kDriverInternal)
        ZOLT32TxMessage(Shell.ExternalDriverWindow, kTallyToExternal, static_cast<WPARAM>(dest),
                        source, 0, 0);
}

void SendPreparation()
{
    uint8_t frame[kFrameBuffer];
    int length = BuildFrame(kPreparationData, sizeof kPreparationData, frame);
    for (int port = 1; port <= kMaxPorts; ++port)
        if (IsBtsPort(port))
            PortTransmit(port, frame, length);
    Bts.BtsPrepSent = 1;
}

// A source already routed to the destination is answered at once from our
// own table; the route still goes out.
void AnswerFromTable(int32_t dest)
{
    int32_t source = Routing.TallyTable[dest];
    if (Profile.RevertiveDelay != 0) {
        // The zero makes the next revertive-delay tick find a difference,
        // restore the entry and report it.
        Routing.PendingTable[dest] = source;
        Routing.TallyTable[dest] = 0;
    } else {
        SendRevertives(dest, dest, 1, 0);
    }
    NotifyExternal(dest, source);
}

void BtsRoute(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    if (Bts.BtsPrepSent == 0)
        SendPreparation();
    if (IsValidDest(dest) && Routing.TallyTable[dest] == source)
        AnswerFromTable(dest);
    uint32_t s = static_cast<uint32_t>(source - 1) & 0xFFFF;
    uint32_t d = static_cast<uint32_t>(dest - Profile.Ports[port].MinDest) & 0xFFFF;
    const uint8_t data[] = {0x42, 0xFF, 0xFF, static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s),
                            static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d)};
    uint8_t frame[kFrameBuffer];
    int length = BuildFrame(data, sizeof data, frame);
    HexDump(frame, static_cast<size_t>(length));
    PortTransmit(port, frame, length);
}

int32_t BigEndian16(const uint8_t *p) { return (p[0] << 8) | p[1]; }

void ApplyRecord(int32_t dest, int32_t source)
{
    if (!IsValidDest(dest))
        return;
    if (!IsValidSource(source))
        source = -1;
    if (Profile.RevertiveDelay != 0) {
        Routing.PendingTable[dest] = source;
        return;
    }
    // ROUTER mode reports every record, DRIVER mode only changes.
    if (Profile.RevertiveMode != kRevertiveDriver || Routing.TallyTable[dest] != source) {
        Routing.TallyTable[dest] = source;
        SendRevertives(dest, dest, 1, 0);
    }
    NotifyExternal(dest, Routing.TallyTable[dest]);
}

// Records run from byte 4 while their start lies below L.  The scan ends at
// a record that does not start with "G" or that runs past the frame's data.
void ScanTallies(int port, const uint8_t *frame)
{
    int32_t length = frame[1];
    int32_t dataEnd = length + 2;  // first index past the data bytes
    int32_t minDest = Profile.Ports[port].MinDest;
    for (int32_t r = 4; r < length;) {
        if (frame[r] != kRecord || r + 7 > dataEnd)
            return;
        int32_t dest = BigEndian16(frame + r + 3) + minDest;
        int32_t count = BigEndian16(frame + r + 5);
        if (count != 0 && r + 9 > dataEnd)
            return;
        int32_t source = count != 0 ? BigEndian16(frame + r + 7) + 1 : 0;
        r += 7 + 2 * count;
        // A record past the port's last output is another output of a
        // larger router, not one of the next port's.
        if (!OutsidePort(port, dest))
            ApplyRecord(dest, source);
    }
}

void ProcessFrame(int port, const uint8_t *frame)
{
    if (frame[2] == kStartupNotice) {
        DebugPrint("Start-up message (STUR) received, re-initialising with device for revertive "
                   "updates...");
        BtsStartup();
        return;
    }
    if (frame[4] == kRecord) {
        ScanTallies(port, frame);
        Bts.BtsStartupConfirmed = 1;
        return;
    }
    NotePortError(port);
}

void StartFrame(int port)
{
    Bts.BtsInMessage[port] = 1;
    Proto.RxBuffer[port][0] = kStx;
    std::memset(Proto.RxBuffer[port] + 1, 0, kCollectLimit - 1);
    Proto.RxCount[port] = 1;
}

void SingleByte(int port, uint8_t byte)
{
    switch (byte) {
    case kStx:
        StartFrame(port);
        break;
    case kAck:
        AcceptReply(port);
        break;
    case kNak:
        DebugPrint("NACK");
        break;
    default:
        DebugPrintf("Unknown primary response %02x", byte);
        break;
    }
}

void EndFrame(int port)
{
    Bts.BtsInMessage[port] = 0;
    Proto.RxCount[port] = 0;
}

// A frame longer than the buffer (L of 254 or 255) can never complete: it
// is dropped when the buffer is full, and the link goes back to idle.
void CollectByte(int port, uint8_t byte)
{
    int32_t &count = Proto.RxCount[port];
    if (count < 1 || count >= kCollectLimit) {
        EndFrame(port);
        return;
    }
    uint8_t *buffer = Proto.RxBuffer[port];
    if (count == 1)
        Bts.BtsLength[port] = byte;
    buffer[count++] = byte;
    if (count == Bts.BtsLength[port] + 3) {
        uint8_t ack[kFrameBuffer] = {kAck};
        PortTransmit(port, ack, 1);
        ProcessFrame(port, buffer);
        EndFrame(port);
    } else if (count >= kCollectLimit) {
        EndFrame(port);
    }
}

void BtsReceive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    if (Bts.BtsInMessage[port] == 0)
        SingleByte(port, byte);
    else
        CollectByte(port, byte);
    Ports.NoReply[port] = 0;
}

}  // namespace

void BtsStartup()
{
    for (int port = 0; port <= kMaxPorts; ++port)
        Bts.BtsInMessage[port] = 0;
    Bts.BtsStartupConfirmed = 0;
    Bts.BtsPrepSent = 0;
    Bts.BtsRetryTimerOn = 0;
    uint8_t frame[kFrameBuffer];
    int length = BuildFrame(kStartupData, sizeof kStartupData, frame);
    for (int port = 1; port <= kMaxPorts; ++port) {
        if (!IsBtsPort(port))
            continue;
        PortTransmit(port, frame, length);
        if (Bts.BtsRetryTimerOn == 0 && Dlg.Dialog != 0) {
            SetTimer(Dlg.Dialog, kRetryTimer, kRetryPeriodMs);
            Bts.BtsRetryTimerOn = 1;
        }
    }
}

void BtsRetryTick()
{
    if (Bts.BtsStartupConfirmed == 1)
        KillTimer(Dlg.Dialog, kRetryTimer);
    else
        BtsStartup();
}

const ProtocolOps BtsesswitchOps = {
    .name = "BTSESSWITCH",
    .route = BtsRoute,      // preparation once, then the route request
    .poll = nullptr,        // none: the router reports changes by itself
    .receive = BtsReceive,  // single-byte responses and frames
};
