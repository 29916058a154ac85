// QUARTZ router protocol: code 10, profile keyword "QUARTZ".
//
// ASCII messages that begin with "." and end with CR (0x0D), decimal
// numbers, no checksum.  Destinations travel 1-based within the port
// (d - MinDest + 1), sources as the driver's own numbers.  QuartzLevels
// holds the level letters ("VAB" unless configured): a route goes out on all
// of them, interrogations and replies use the first one only.
//
//   interrogate   .I<first level><dest>CR             .IV5
//   route         .S<all levels><dest>,<source>CR      .SVAB5,12
//   tally         .A<level><ddd>,<ssss>CR              .AV005,0012
//   update        .U<levels><ddd>,<ssss>CR             .UVAB005,0012
//
// In an update the numbers are taken from index 2 + the length of
// QuartzLevels, whatever letters stand before them; only the first letter is
// compared.  Every "." restarts the line buffer and is the router's sign of
// life; lines for other levels or of other kinds are dropped silently.
#include "protocols/protocol.h"

#include "serial/ports.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr int kLineSize = 256;  // the cyclic part of the receive buffer

const char *Levels() { return Profile.QuartzLevels; }
size_t LevelCount() { return strnlen(Profile.QuartzLevels, sizeof Profile.QuartzLevels); }

int32_t WireDest(int port, int32_t dest) { return dest - Profile.Ports[port].MinDest + 1; }

void Poll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0 || LevelCount() == 0)
        return;
    char text[32] = {};  // nine bytes at least: the port manager's Tx line shows nine
    int n = std::snprintf(text, sizeof text, ".I%c%d%c", Levels()[0], WireDest(port, dest), kCR);
    if (n > 0 && n < static_cast<int>(sizeof text))
        PortTransmit(port, reinterpret_cast<const uint8_t *>(text), n);
}

void Route(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    char text[48] = {};
    int n = std::snprintf(text, sizeof text, ".S%.*s%d,%d%c", static_cast<int>(LevelCount()),
                          Levels(), WireDest(port, dest), source, kCR);
    if (n > 0 && n < static_cast<int>(sizeof text))
        PortTransmit(port, reinterpret_cast<const uint8_t *>(text), n);
}

// Where the numbers of a line start, or -1 for a line that is not a tally
// or update of the first configured level.
int NumbersAt(const char *line, size_t length)
{
    size_t levels = LevelCount();
    if (length < 3 || line[0] != '.' || levels == 0 || line[2] != Levels()[0])
        return -1;
    size_t at;
    if (line[1] == 'A')
        at = 3;
    else if (line[1] == 'U')
        at = 2 + levels;
    else
        return -1;
    // A short update must not reach past its own CR into an older line's bytes.
    return at < length ? static_cast<int>(at) : -1;
}

void ProcessLine(int port)
{
    char line[kLineSize + 1];
    const char *raw = reinterpret_cast<const char *>(Proto.RxBuffer[port]);
    size_t length = strnlen(raw, kLineSize);
    std::memcpy(line, raw, length);
    line[length] = 0;
    int at = NumbersAt(line, length);
    if (at < 0)
        return;
    int dest = 0, source = 0;
    if (std::sscanf(line + at, "%3d,%4d", &dest, &source) != 2)
        return;  // a damaged line names no crosspoint
    // Wire 0 (or below) and numbers past the port's last output are no
    // output of this port's router; they must not land on a neighbour's.
    int32_t system = dest - 1 + Profile.Ports[port].MinDest;
    if (!OutsidePort(port, system))
        ReportTally(port, system, source);
}

void Receive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    int32_t &count = Proto.RxCount[port];
    if (count < 0 || count >= kLineSize)
        count = 0;
    if (byte == '.') {
        count = 0;
        AcceptReply(port);
    }
    Proto.RxBuffer[port][count] = byte;
    count = (count + 1) % kLineSize;
    if (byte == kCR) {
        Proto.RxBuffer[port][count] = 0;
        ProcessLine(port);
        count = 0;
    }
}

}  // namespace

extern const ProtocolOps QuartzOps;
const ProtocolOps QuartzOps = {
    .name = "QUARTZ",
    .route = Route,      // one set command on every configured level
    .poll = Poll,        // interrogate on the first level
    .receive = Receive,  // tally and update lines
};
