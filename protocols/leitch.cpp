// LEITCH router protocol (code 13).
//
// ASCII commands with hexadecimal numbers, each line ended by CR (0x0D);
// LF (0x0A) is ignored.  The level is LeitchLevel, the destination counts
// from 0 at the port's MinDest, the source from 0 at source 1.  Everything
// the driver sends goes out in upper case.
//
//   poll preamble  "@ ?\rT F\r"            (fixed, before every query)
//   status query   "@ X?<level><dest>\r"   (no separator between the two)
//   take           "@ X:<level>/<dest>,<src>\r"
//   status line    "S:<level digit><dest>,<src>\r"  or  ",X" for no source
//
// Sample: level 1, MinDest 1, source 11 to destination 32 sends
// "@ X:1/1F,A\r"; the router answers "S:11F,A\r", which sets destination
// 32 to source 11.
//
// Any line of three characters or more tells us the router talks, so it
// enables control-system commands before it is looked at further.
#include "protocols/protocol.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "link/commands.h"
#include "link/zoltif.h"
#include "platform/debug.h"
#include "platform/shellstate.h"
#include "routing/tables.h"
#include "serial/ports.h"

extern const ProtocolOps LeitchOps;

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr uint8_t kLF = 0x0A;
constexpr int kLineLimit = 255;     // characters a line may hold
constexpr int kCommandSize = 64;    // room for three 8-digit hex numbers
constexpr int64_t kTooLarge = INT64_C(1) << 40;  // past any destination or source
constexpr UINT kTallyToExternal = 2741;

void Upper(char *text)
{
    for (; *text; ++text)
        *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

void LeitchRoute(int32_t source, int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    int32_t d = dest - Profile.Ports[port].MinDest;
    int32_t s = source - 1;
    DebugPrintf("Router Connect %d %d", s, d);
    char text[kCommandSize];
    std::snprintf(text, sizeof text, "@ X:%x/%x,%x\r", static_cast<unsigned>(Profile.LeitchLevel),
                  static_cast<unsigned>(d), static_cast<unsigned>(s));
    Upper(text);
    DebugPrint(text);
    PortTransmit(port, reinterpret_cast<const uint8_t *>(text), static_cast<int>(std::strlen(text)));
}

void LeitchPoll(int32_t dest)
{
    int port = PortForDest(dest);
    if (port == 0)
        return;
    static const char kPreamble[] = "@ ?\rT F\r";  // 8 bytes and the terminator
    PortTransmit(port, reinterpret_cast<const uint8_t *>(kPreamble), 8);
    char text[kCommandSize];
    std::snprintf(text, sizeof text, "@ X?%x%x\r", static_cast<unsigned>(Profile.LeitchLevel),
                  static_cast<unsigned>(dest - Profile.Ports[port].MinDest));
    Upper(text);
    PortTransmit(port, reinterpret_cast<const uint8_t *>(text), static_cast<int>(std::strlen(text)));
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a hexadecimal number at *p the way "%x" does, and steps past it:
// white space, an optional sign, an optional "0x", digits.  The number is
// a 32-bit word taken as signed, so a parked output's source, 0 minus 1,
// comes as FFFFFFFF (or -1) and reads -1.  No digit: false.  A number that
// does not fit 32 bits reads as kTooLarge, which no range check passes.
bool ReadHex(const char **p, int64_t *value)
{
    const char *s = *p;
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        ++s;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && HexValue(s[2]) >= 0)
        s += 2;
    if (HexValue(*s) < 0)
        return false;
    uint64_t v = 0;
    for (int h; (h = HexValue(*s)) >= 0; ++s)
        if (v <= UINT32_MAX)
            v = v * 16 + static_cast<uint64_t>(h);
    *p = s;
    if (v > UINT32_MAX) {
        *value = kTooLarge;
        return true;
    }
    uint32_t word = static_cast<uint32_t>(v);
    *value = static_cast<int32_t>(negative ? 0u - word : word);
    return true;
}

// Destination and source of a status line from its character 3 on, read as
// "%x,%x" reads them.  A line whose numbers cannot be read is not used, nor
// one whose destination counts below the port's MinDest: that output is
// not on this port.
bool ParseStatus(const char *fields, int32_t minDest, int32_t *dest, int32_t *source)
{
    const char *p = fields;
    int64_t d = 0, s = 0;
    if (!ReadHex(&p, &d) || d < 0 || d + minDest > kMaxDest)
        return false;
    *dest = static_cast<int32_t>(d + minDest);
    if (std::strstr(fields, ",X")) {
        *source = -1;
        return true;
    }
    if (*p++ != ',' || !ReadHex(&p, &s))
        return false;
    *source = s + 1 > kMaxDest ? -1 : static_cast<int32_t>(s + 1);  // below 0: fails the check
    return true;
}

void NotifyExternal(int32_t dest)
{
    if (Shell.ExternalDriverWindow != 0 && Profile.DriverMode == kDriverInternal)
        ZOLT32TxMessage(Shell.ExternalDriverWindow, kTallyToExternal, static_cast<WPARAM>(dest),
                        Routing.TallyTable[dest], 0, 0);
}

void ProcessLine(int port, const char *line)
{
    Commands.CommandsEnabled = 1;
    if (std::strlen(line) <= 4 || std::strncmp(line, "S:", 2) != 0)
        return;
    DebugPrint(line);
    int level = std::isdigit(static_cast<unsigned char>(line[2])) ? line[2] - '0' : 0;
    int32_t dest = 0, source = 0;
    if (!ParseStatus(line + 3, Profile.Ports[port].MinDest, &dest, &source))
        return;
    DebugPrintf("Result -> %x/%x,%x", static_cast<unsigned>(level), static_cast<unsigned>(dest),
                static_cast<unsigned>(source));
    if (OutsidePort(port, dest))
        return;  // past the port's last output: not one of ours
    if (ReportTally(port, dest, source) && Profile.RevertiveDelay == 0)
        NotifyExternal(dest);
}

// The line is what was collected since the last CR: count characters from
// the start of the buffer (after an overflow, older characters further on
// are not part of it).
void EndOfLine(int port)
{
    int32_t &count = Proto.RxCount[port];
    uint8_t *buffer = Proto.RxBuffer[port];
    if (count > 2) {
        char line[kLineLimit + 1];
        int length = count < kLineLimit ? count : kLineLimit;
        std::memcpy(line, buffer, static_cast<size_t>(length));
        line[length] = 0;
        ProcessLine(port, line);
    }
    count = 0;
    std::memset(buffer, 0, 256);
}

void LeitchReceive(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return;
    int32_t &count = Proto.RxCount[port];
    if (byte == kCR) {
        EndOfLine(port);
    } else if (byte != kLF) {
        // A full line starts again at index 1; the byte that found it full
        // is dropped.
        if (count < 0 || count >= kLineLimit)
            count = 0;
        else
            Proto.RxBuffer[port][count] = byte;
        ++count;
    }
    // Every byte is a sign of life.
    AcceptReply(port);
}

}  // namespace

const ProtocolOps LeitchOps = {
    .name = "LEITCH",
    .route = LeitchRoute,      // one take command
    .poll = LeitchPoll,        // preamble, then a status query
    .receive = LeitchReceive,  // CR-ended status lines
};
