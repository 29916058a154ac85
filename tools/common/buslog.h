// The line format in which vek and wexmsg record messages, and the small
// helpers both tools share.  One line per event, written whole and flushed
// at once, so that a test can follow a log file while it grows:
//
//   RX code=2187 wparam=3 lparam=0 from=0x1234abcd len=15 text="RR 007 005 003" result=0
//   TX code=2074 wparam=0 lparam=0 to=0x1234abcd len=19 text="RC 7 5 12 ',---' 0" result=0
//
// Numbers are decimal (wparam unsigned, lparam and result signed 32-bit),
// windows are 0x and eight hex digits; len and text appear only when the
// message carried a block; text is the block up to its first zero byte
// with " and \ escaped by a backslash and any byte outside 0x20..0x7e
// written as \xNN.
#pragma once
#include "platform/loop.h"
#include "platform/winapi.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A message of VEK's own (not a control-system message): wParam a driver Id,
// result that driver's registered window, 0 when none.
constexpr UINT kVekFindDriver = 31233;

struct ToolLog {
    FILE *file = nullptr;  // --log FILE, appended
    bool toStdout = true;  // off with --quiet
};
inline ToolLog &Log()
{
    static ToolLog log;
    return log;
}

inline void LogWrite(const std::string &line)
{
    if (Log().toStdout) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (Log().file) {
        std::fwrite(line.data(), 1, line.size(), Log().file);
        std::fputc('\n', Log().file);
        std::fflush(Log().file);
    }
}

inline bool LogOpenFile(const char *path)
{
    Log().file = std::fopen(path, "a");
    return Log().file != nullptr;
}

// The bytes up to the first zero (at most max), quoted.
inline std::string QuoteText(const void *bytes, size_t max)
{
    std::string out = "\"";
    auto *p = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; p && i < max && p[i]; ++i) {
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7e) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

inline std::string Handle(HWND window)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", window);
    return text;
}

// "RX code=... wparam=... lparam=... from=0x..." (or "TX ... to=0x...").
inline std::string MessageLine(const char *what, UINT code, WPARAM wParam, LPARAM lParam,
                               HWND peer)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s code=%u wparam=%u lparam=%d %s=%s", what, code,
                  static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam),
                  what[0] == 'R' ? "from" : "to", Handle(peer).c_str());
    return text;
}

inline std::string BlockPart(const void *block, uint32_t length)
{
    if (!length)
        return "";
    return " len=" + std::to_string(length) + " text=" + QuoteText(block, length);
}

inline std::string ResultPart(LRESULT result)
{
    return " result=" + std::to_string(static_cast<int32_t>(result));
}

// A whole number: decimal (leading zeros are decimal: "012" is twelve),
// 0x hex, either with a minus sign; nothing else on the token.
inline bool ParseNumber(const char *text, long long *value)
{
    if (!text || !*text)
        return false;
    const char *digits = text + (text[0] == '-' || text[0] == '+');
    int base = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') ? 16 : 10;
    char *end = nullptr;
    errno = 0;
    *value = std::strtoll(text, &end, base);
    return errno == 0 && end != text && *end == '\0';
}

// SIGTERM and SIGINT end the tool's loop like a quit message, so that it
// leaves the bus cleanly (its sockets removed).
inline void ToolOnSignal(int fd, void *)
{
    signalfd_siginfo info;
    if (read(fd, &info, sizeof info) > 0)
        PostQuitMessage(0);
}

inline bool ToolWatchSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    return fd >= 0 && LoopAddFd(fd, ToolOnSignal, nullptr);
}
