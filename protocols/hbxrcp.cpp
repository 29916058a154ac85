// HBXRCP (profile keywords "NTP" and "HBXRCP", protocol code 1).
//
// A text protocol.  Every message starts with a full stop and ends with a
// carriage return (CR, 0x0D).  Numbers are decimal, without sign or leading
// zeros, and are the driver's own destination and source numbers.
//
//   driver -> router   interrogate        ".IA<dest>,-" CR
//   driver -> router   set, one per level ".S<level><dest>,<source>" CR
//                      (level n is the letter 0x40 + n: A, B, C, ...)
//   router -> driver   tally line         ".A" <entry> [<sep> <entry> ...] CR
//                      entry = level letter, dest, ",", source
//
// Sample exchange for destination 12 carrying source 5 on two levels:
//
//   -> .IA12,-<CR>
//   <- .AA12,5 B12,5<CR>
//
// Entries are separated by exactly one character that is neither a digit,
// a comma nor CR (usually a blank); a comma as separator loses the entry
// after it.  Every level's tally goes to the same destination, and a line
// reports at most twelve entries.
//
// The port's receive buffer (bytes 0..255) is a cyclic line buffer: a CR
// completes a line when a full stop is found in it, otherwise the bytes stay
// and the write index wraps over the oldest ones.
#include "protocols/protocol.h"

#include "protocols/linebuffer.h"

#include <cstdio>
#include <cstring>

#include "routing/tables.h"
#include "serial/ports.h"

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr int kMaxEntries = 12;     // entries of one tally line that are used
constexpr int kEntrySlot = 12;      // 11 characters and a terminator

void SendText(int port, const char *text, int length)
{
    if (port == 0 || length <= 0)
        return;
    PortTransmit(port, reinterpret_cast<const uint8_t *>(text), length);
}

void HbxrcpPoll(int32_t dest)
{
    char text[32];
    int n = std::snprintf(text, sizeof text, ".IA%d,-%c", dest, kCR);
    if (n > 0 && n < static_cast<int>(sizeof text))
        SendText(PortForDest(dest), text, n);
}

// Level letters are one byte: past 0xFF they would only repeat the frames
// of the first levels, so a huge level count is cut there rather than
// flooding the line (and blocking the driver) with duplicates.
constexpr int32_t kMaxLevel = 0xFF - 0x40;

void HbxrcpRoute(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    int32_t levels = Profile.HBXRCP_Levels < kMaxLevel ? Profile.HBXRCP_Levels : kMaxLevel;
    for (int32_t level = 1; level <= levels; ++level) {
        char text[48];
        int n = std::snprintf(text, sizeof text, ".S%c%d,%d%c",
                              static_cast<char>(0x40 + level), dest, source, kCR);
        if (n > 0 && n < static_cast<int>(sizeof text))
            SendText(port, text, n);
    }
}

// One kept entry: a level letter, then "dest,source".  A destination that
// is not a number counts as a bad destination; a source that is not a
// number (".AA12,-") means no known source.
void TakeEntry(int port, const char *entry)
{
    if (entry[0] < 'A' || entry[0] > 'Z')
        return;
    int32_t dest = 0;
    int32_t source = -1;
    int at = ReadLineDecimal(entry, 1, &dest);
    if (at < 0)
        dest = 0;
    else if (entry[at] == ',' && ReadLineDecimal(entry, at + 1, &source) < 0)
        source = -1;
    if (!IsValidDest(dest)) {
        NotePortError(port);
        return;
    }
    ReportTally(port, dest, source);
}

// Splits a line (full stop .. CR) into its entries and takes them in order.
void ParseLine(int port, const char *line, int length)
{
    if (length < 2 || line[0] != '.' || line[1] != 'A')
        return;
    char entries[kMaxEntries][kEntrySlot];
    int kept = 0;
    int q = 1;  // the character before the entry: first the A, then each separator
    for (;;) {
        int c = q;
        while (c < length && line[c] != ',' && line[c] != static_cast<char>(kCR))
            ++c;
        if (c >= length || line[c] == static_cast<char>(kCR))
            break;
        int e = c + 1;
        while (e < length && line[e] >= '0' && line[e] <= '9')
            ++e;
        if (kept < kMaxEntries) {
            int n = e - (q + 1);
            if (n > kEntrySlot - 1)
                n = kEntrySlot - 1;  // longer entries are cut to their slot
            std::memcpy(entries[kept], line + q + 1, static_cast<size_t>(n));
            entries[kept][n] = 0;
            ++kept;
        }
        if (e >= length || line[e] == static_cast<char>(kCR))
            break;
        q = e;
    }
    for (int i = 0; i < kept; ++i)
        TakeEntry(port, entries[i]);
}

// Any CR reports a failed port alive; a line is parsed, and the buffer
// emptied, only when a full stop is in the buffer.
void HbxrcpReceive(int port, uint8_t byte)
{
    if (!LineStore(port, byte))
        return;
    if (Ports.CommsFail[port] == 1)
        AcceptReply(port);
    char line[kLineMax + 1];
    int length = LineTake(port, '.', line);
    if (length < 0)
        return;
    ParseLine(port, line, length);
    LineDone(port);
}

}  // namespace

extern const ProtocolOps HbxrcpOps;
const ProtocolOps HbxrcpOps = {
    .name = "HBXRCP",
    .route = HbxrcpRoute,    // one set command per configured level
    .poll = HbxrcpPoll,      // interrogate one destination
    .receive = HbxrcpReceive,  // cyclic line buffer, ".A" tally lines
};
