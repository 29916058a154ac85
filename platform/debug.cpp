#include "platform/debug.h"

#include "platform/daemon.h"
#include "platform/shellstate.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

char FieldText[kFieldSlots][kFieldTextSize];
int32_t FieldValue[kFieldSlots];

namespace {

constexpr size_t kLineSize = 516;
DebugSink Sink = nullptr;
// The profile's DebugMode, registered at start-up; none means off.
const int32_t *DebugModeFlag = nullptr;
// The router ports an event line can name: 1..8, as the profile has them.
constexpr int kEventPorts = 8;
// Per port: a "Comms fail" line has gone out at warning since the last
// change of state, so the repeats go at info.
bool FailWarned[kEventPorts + 1];

bool DebugModeOn() { return DebugModeFlag && *DebugModeFlag != 0; }

// Under the journal the line starts with its priority; on a terminal or in
// a file it stays exactly as it is.
void Emit(const char *line, int priority)
{
    if (Sink) {
        Sink(line);
        return;
    }
    std::fprintf(stderr, "%s%s", JournalPrefix(priority), line);  // one write: one journal line
    std::fflush(stderr);
}

bool StartsWith(const char *text, const char *prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The port of "... on port N", or 0 when the text names none in 1..8.
int PortOfEvent(const char *text)
{
    const char *at = std::strstr(text, " on port ");
    if (!at)
        return 0;
    int32_t port = ReadNumber(at + 9);
    return port >= 1 && port <= kEventPorts ? port : 0;
}

const char kRule[] = "----------------------------------------------------------";

// From index 8 on, the line is shown in upper case (the hex digits).
void FlushHexLine(char *line, size_t *used)
{
    if (*used == 0)
        return;
    for (size_t i = 8; i < *used; ++i)
        line[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
    line[*used] = 0;
    DebugPrint(line);
    *used = 0;
}

}  // namespace

void SetDebugSink(DebugSink sink) { Sink = sink; }

void SetDebugModeSource(const int32_t *flag) { DebugModeFlag = flag; }

void DebugPrint(const char *text)
{
    if (DebugModeOn())
        DebugPrintAlways(text);
}

void DebugPrintAlways(const char *text)
{
    char line[kLineSize];
    // A longer text is cut so that the line still ends with its newline.
    std::snprintf(line, sizeof line, "<WE>-%.*s\n", static_cast<int>(kLineSize - 7), text ? text : "");
    Emit(line, kLogDebug);
}

void DebugPrintf(const char *format, ...)
{
    if (!DebugModeOn())
        return;
    char text[kLineSize];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    DebugPrint(text);
}

void HexDump(const uint8_t *bytes, size_t length)
{
    DebugPrint(kRule);
    char line[128];
    size_t used = 0;
    for (size_t i = 0; i < length; ++i) {
        if (i % 16 == 0) {
            size_t end = i + 16 < length ? i + 16 : length;
            used = static_cast<size_t>(std::snprintf(line, sizeof line, "Bytes %02zx-%02zx : ", i, end));
        }
        used += static_cast<size_t>(std::snprintf(line + used, sizeof line - used, "%02x ", bytes[i]));
        if (i % 16 == 15)
            FlushHexLine(line, &used);
    }
    FlushHexLine(line, &used);
    DebugPrint(kRule);
}

void LogEvent(const char *text, int level)
{
    char line[kLineSize];
    std::snprintf(line, sizeof line, "%03d WEX %d - %s \n", Shell.DriverId, level, text ? text : "");
    Emit(line, EventPriority(text));
}

int EventPriority(const char *text)
{
    if (!text)
        return kLogInfo;
    int port = PortOfEvent(text);
    if (StartsWith(text, "Comms fail")) {
        // A failed port repeats its line on every unanswered transmission;
        // `journalctl -p warning` should show each failure once.
        bool repeat = port != 0 && FailWarned[port];
        if (port != 0)
            FailWarned[port] = true;
        return repeat ? kLogInfo : kLogWarning;
    }
    if (StartsWith(text, "Comms ok") || StartsWith(text, "Link restored")) {
        if (port != 0)
            FailWarned[port] = false;
        return kLogNotice;
    }
    if (StartsWith(text, "Link lost"))
        return kLogWarning;
    if (StartsWith(text, "WEX running") || StartsWith(text, "WEX closing"))
        return kLogNotice;
    return kLogInfo;
}

void ResetEventPriorities()
{
    for (bool &warned : FailWarned)
        warned = false;
}

namespace {

// Blanks, optional sign, digits: the 32-bit reading in *wrapped.  Returns 0
// when the number fits a signed 32-bit value, else -1 or +1 for the
// direction it is too large in.
int ReadDecimal(const char *text, int32_t *wrapped)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p && std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    uint32_t v = 0;
    uint64_t exact = 0;  // stops growing once it is past any 32-bit value
    while (*p >= '0' && *p <= '9') {
        v = v * 10u + static_cast<uint32_t>(*p - '0');
        if (exact <= UINT32_MAX)
            exact = exact * 10u + static_cast<uint64_t>(*p - '0');
        ++p;
    }
    *wrapped = static_cast<int32_t>(negative ? 0u - v : v);
    uint64_t limit = negative ? uint64_t{INT32_MAX} + 1 : uint64_t{INT32_MAX};
    if (exact <= limit)
        return 0;
    return negative ? -1 : 1;
}

}  // namespace

int32_t ReadNumber(const char *text)
{
    int32_t v = 0;
    ReadDecimal(text, &v);
    return v;
}

int32_t ReadCheckedNumber(const char *text)
{
    int32_t v = 0;
    int misfit = ReadDecimal(text, &v);
    if (misfit == 0)
        return v;
    return misfit < 0 ? INT32_MIN : INT32_MAX;
}

int32_t FieldNumber(int slot)
{
    return slot >= 0 && slot < kFieldSlots ? ReadCheckedNumber(FieldText[slot]) : 0;
}

void SplitFields(const char *message, int maxFields)
{
    if (!message)
        return;
    if (maxFields > kFieldSlots)
        maxFields = kFieldSlots;
    size_t len = std::strlen(message);
    size_t i = 3;
    int n = 0;
    while (i <= len && n < maxFields) {
        while (i < len && message[i] == ' ')
            ++i;
        size_t out = 0;
        char *slot = FieldText[n];
        if (i < len && message[i] == '\'') {
            ++i;
            while (i < len && message[i] != '\'') {
                if (out < kFieldTextSize - 1)
                    slot[out++] = message[i];
                ++i;
            }
            ++i;  // past the closing apostrophe (or past the end)
        } else {
            while (i < len && message[i] != ' ') {
                if (out < kFieldTextSize - 1)
                    slot[out++] = message[i];
                ++i;
            }
        }
        slot[out] = 0;
        FieldValue[n] = ReadNumber(slot);
        ++n;
        // drop anything glued to a closing apostrophe
        while (i < len && message[i] != ' ')
            ++i;
    }
}

void SplitCommandFields(const char *text, int maxFields)
{
    if (text == nullptr)
        return;
    if (std::strlen(text) < 3) {
        for (int i = 0; i < maxFields && i < kFieldSlots; ++i) {
            FieldText[i][0] = 0;
            FieldValue[i] = 0;
        }
        return;
    }
    SplitFields(text, maxFields);
}
