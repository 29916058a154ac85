// NTPEQ (profile keyword "NTPEQ", protocol code 6).
//
// An ASCII protocol for equipment that groups its outputs in fives.  Every
// message starts with a full stop and ends with a carriage return (CR,
// 0x0D); numbers are decimal without leading zeros; there is no checksum.
// An output is addressed by its group (from 1) and a position letter G, H,
// I, J or K (positions 1 to 5), counted within the port from its MinDest:
//
//   n = dest - MinDest + 1, group = (n - 1) / 5 + 1, position = (n - 1) % 5 + 1
//
// Sources are the driver's own source numbers.
//
//   driver -> unit   group interrogate  ".ZM<group>,-" CR
//   driver -> unit   route              ".Z<letter><group>,<source>" CR
//   unit -> driver   single tally       ".q<letter><group>,<source>" CR
//   unit -> driver   group tally        ".qM<group>,<s1>,<s2>,<s3>,<s4>,<s5>,<x>" CR
//                                       (x is read and not used)
//
// Sample exchange with MinDest 1, destinations 6 to 10 (group 2) carrying
// sources 1 to 5:
//
//   -> .ZM2,-<CR>
//   <- .qM2,1,2,3,4,5,0<CR>
//
// Each poll tick interrogates the whole group of its destination, and each
// group tally reports all five outputs in one revertive run.  Lines without
// "q" as second character, or with an unknown letter, are ignored quietly.
//
// The port's receive buffer (bytes 0..255) is a cyclic line buffer: a CR
// completes a line when a full stop is found in bytes 0..254, otherwise the
// bytes stay and the write index wraps over the oldest ones.  A completed
// line clears the no-reply count; this protocol never clears a comms failure.
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
constexpr int kGroupSize = 5;
constexpr char kLetters[] = "GHIJK";

void SendText(int port, const char *text, int length)
{
    if (port < 1 || port > kMaxPorts || length <= 0)
        return;
    PortTransmit(port, reinterpret_cast<const uint8_t *>(text), length);
}

// Zero-based index of dest within its port's range.
int32_t IndexInPort(int port, int32_t dest) { return dest - Profile.Ports[port].MinDest; }

void NtpeqPoll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    char text[kFrameSize] = {};
    int32_t group = IndexInPort(port, dest) / kGroupSize + 1;
    int n = std::snprintf(text, sizeof text, ".ZM%d,-%c", group, kCR);
    if (n > 0 && n < kFrameSize)
        SendText(port, text, n);
}

// The route goes to the debug output as well, without its CR.
void NtpeqRoute(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t index = IndexInPort(port, dest);
    char text[kFrameSize] = {};
    int n = std::snprintf(text, sizeof text, ".Z%c%d,%d", kLetters[index % kGroupSize],
                          index / kGroupSize + 1, source);
    if (n <= 0 || n >= kFrameSize - 1)
        return;
    DebugPrint(text);
    text[n++] = static_cast<char>(kCR);
    SendText(port, text, n);
}

// Up to max comma-separated numbers, as a "%d,%d,..." scan reads them: the
// first that is missing ends the list.  Returns how many were read.
int ReadList(const char *text, int32_t *values, int max)
{
    int at = 0;
    for (int i = 0; i < max; ++i) {
        if (i > 0) {
            if (text[at] != ',')
                return i;
            ++at;
        }
        at = ReadLineDecimal(text, at, &values[i]);
        if (at < 0)
            return i;
    }
    return max;
}

// The first destination of a group into *base; false when the group names
// no output of this port (groups count from 1) or lies past every table
// entry.  With MinDest 0 the first group starts at 0, so 0 is a real base.
bool GroupBase(int port, int32_t group, int32_t *base)
{
    if (group < 1)
        return false;
    int64_t first = int64_t{group - 1} * kGroupSize + Profile.Ports[port].MinDest;
    if (first > kMaxDest)
        return false;
    *base = static_cast<int32_t>(first);
    return true;
}

void SingleTally(int port, int position, const char *text)
{
    int32_t values[2];
    int read = ReadList(text, values, 2);
    int32_t base = 0;
    if (read == 0 || !GroupBase(port, values[0], &base))
        return;
    int32_t source = read == 2 ? values[1] : -1;  // no source given: none known
    // A group of five runs past the last output of a port whose output
    // count is not a multiple of five: those positions are not this unit's.
    if (!OutsidePort(port, base + position - 1))
        ReportTally(port, base + position - 1, source);
}

// Five outputs in one line.  With a revertive delay every valid entry goes
// to the pending table; otherwise the changed ones are reported in a single
// run from the lowest to the highest.
void GroupTally(int port, const char *text)
{
    int32_t values[kGroupSize + 2];
    int read = ReadList(text, values, kGroupSize + 2);
    int32_t base = 0;
    if (read == 0 || !GroupBase(port, values[0], &base))
        return;
    int32_t lowest = 0, highest = 0;
    for (int i = 0; i < kGroupSize && i + 1 < read; ++i) {
        int32_t dest = base + i;
        int32_t source = values[i + 1];
        DebugPrintf("Tally > iDest=%d iSource=%d", dest, source);
        if (!IsValidDest(dest) || OutsidePort(port, dest))
            continue;
        if (!IsValidSource(source))
            source = -1;
        if (Profile.RevertiveDelay != 0) {
            Routing.PendingTable[dest] = source;
            continue;
        }
        if (source == Routing.TallyTable[dest])
            continue;
        Routing.TallyTable[dest] = source;
        if (lowest == 0)
            lowest = dest;
        highest = dest;
    }
    if (lowest != 0)
        SendRevertives(lowest, highest, 1, 0);
}

// One line from its full stop up to and including its CR.
void HandleLine(int port, const char *line, int length)
{
    DebugPrintf("%.*s", length > 0 && line[length - 1] == static_cast<char>(kCR) ? length - 1
                                                                               : length, line);
    if (length < 4 || line[1] != 'q')
        return;
    const char *letter = line[2] != 0 ? std::strchr(kLetters, line[2]) : nullptr;
    if (letter != nullptr)
        SingleTally(port, static_cast<int>(letter - kLetters) + 1, line + 3);
    else if (line[2] == 'M')
        GroupTally(port, line + 3);
}

// A line is handled, and the buffer emptied, only when a full stop is in
// the buffer.
void NtpeqReceive(int port, uint8_t byte)
{
    if (!LineStore(port, byte))
        return;
    char line[kLineMax + 1];
    int length = LineTake(port, '.', line);
    if (length < 0)
        return;
    HandleLine(port, line, length);
    LineDone(port);
}

}  // namespace

extern const ProtocolOps NtpeqOps;
const ProtocolOps NtpeqOps = {
    .name = "NTPEQ",
    .route = NtpeqRoute,      // one output: position letter and group
    .poll = NtpeqPoll,        // interrogate the whole group of the destination
    .receive = NtpeqReceive,  // cyclic line buffer: single and group tallies
};
