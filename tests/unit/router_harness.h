// A bench for router protocol tests: every transmitted frame and debug line
// recorded in order, VEK and an attached external driver as local windows
// that record what reaches them, byte feeding through the protocol table,
// and an in-process link to the simulated router of the same protocol.
// Include it from one test file per executable: it defines the simulator's
// services (SimSend and friends) for the simulated router under test.
#pragma once
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "link/zoltif.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "platform/debug.h"
#include "shell/shell.h"
#include "tests/support/modules.h"
#include "tools/routersim/sim.h"
#include "ui/maindlg.h"

namespace bench {

struct Frame {
    int port;
    std::vector<uint8_t> bytes;
    bool operator==(const Frame &) const = default;
};

struct Message {
    HWND window;
    UINT code;
    WPARAM wParam;
    LPARAM lParam;
    std::string text;
};

inline std::vector<Frame> Sent;
// Frames ("TX <port>: <hex>") and debug lines ("DBG <text>") in order.
inline std::vector<std::string> Events;
inline std::vector<Message> Inbox;
inline HWND Vek = 0;
inline HWND External = 0;
inline bool ZoltDelivers = false;  // ZOLT32TxMessage reaches local windows

inline std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string out;
    char hex[4];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, out.empty() ? "%02X" : " %02X", b);
        out += hex;
    }
    return out;
}

// "FF 02 10" -> bytes.
inline std::vector<uint8_t> Bytes(const char *hex)
{
    std::vector<uint8_t> out;
    unsigned value = 0;
    int used = 0;
    while (std::sscanf(hex, "%2x%n", &value, &used) == 1) {
        out.push_back(static_cast<uint8_t>(value));
        hex += used;
        while (*hex == ' ')
            ++hex;
    }
    return out;
}

inline std::vector<uint8_t> Text(const char *text)
{
    return std::vector<uint8_t>(text, text + std::strlen(text));
}

// Frames on port 1 given as texts.
inline std::vector<Frame> TextFrames(std::initializer_list<const char *> texts)
{
    std::vector<Frame> out;
    for (const char *t : texts)
        out.push_back({1, Text(t)});
    return out;
}

// A transmitted frame as text, for the protocols that speak lines.
struct SentLine {
    int port;
    std::string text;
    bool operator==(const SentLine &) const = default;
};

// What the driver transmitted, as text.
inline std::vector<SentLine> SentTexts()
{
    std::vector<SentLine> out;
    for (const auto &f : Sent)
        out.push_back({f.port, std::string(f.bytes.begin(), f.bytes.end())});
    return out;
}

inline void Hook(int port, const uint8_t *bytes, int length)
{
    Sent.push_back({port, std::vector<uint8_t>(bytes, bytes + length)});
    Events.push_back("TX " + std::to_string(port) + ": " + Hex(Sent.back().bytes));
}

// Debug lines without their "<WE>-" mark and the line end the channel adds.
inline void Sink(const char *line)
{
    Events.push_back("DBG " + DebugText(line));
}

inline bool IsTextCode(UINT code) { return code == 2187 || code == 2188; }

inline LRESULT RecordingProc(HWND window, UINT code, WPARAM wParam, LPARAM lParam)
{
    std::string text;
    if (IsTextCode(code) && lParam != 0)
        text = reinterpret_cast<const char *>(lParam);
    Inbox.push_back({window, code, wParam, lParam, text});
    return 0;
}

inline std::vector<Message> To(HWND window, UINT code)
{
    std::vector<Message> out;
    for (const auto &m : Inbox)
        if (m.window == window && m.code == code)
            out.push_back(m);
    return out;
}

// The revertive texts VEK received, in order.
inline std::vector<std::string> Revertives()
{
    std::vector<std::string> out;
    for (const auto &m : To(Vek, 2187))
        out.push_back(m.text);
    return out;
}

// Debug lines only, in order (without the port manager's own Tx lines).
inline std::vector<std::string> DebugLines()
{
    std::vector<std::string> out;
    for (const auto &e : Events)
        if (e.rfind("DBG ", 0) == 0 && e.rfind("DBG [Port", 0) != 0 && e.rfind("DBG Tx Error", 0) != 0)
            out.push_back(e.substr(4));
    return out;
}

inline bool HasDebug(const std::string &line)
{
    for (const auto &l : DebugLines())
        if (l == line)
            return true;
    return false;
}

// Every module back to its start, a device of 64 sources and 256
// destinations, debug output on, the driver registered in Tx/Rx mode with
// a local VEK, and no comms failure from our own transmissions.
inline void Reset()
{
    ResetModules();
    Sent.clear();
    Events.clear();
    Inbox.clear();
    SetPortTransmitHook(Hook);
    SetDebugSink(Sink);
    Profile.DebugMode = 1;
    Profile.DatabaseSize_0 = 64;
    Profile.DatabaseSize_1 = 256;
    Profile.CommErrorLimit = 1000000;
    Profile.GoRxOnlyOnComFail = -1;
    Profile.RevertiveMode = kRevertiveRouter;
    Profile.DriverMode = kDriverInternal;
    Shell.DriverId = 7;
    Vek = CreateWindowProc(RecordingProc, false);
    External = CreateWindowProc(RecordingProc, false);
    Link.VekWindow = Vek;
    Link.TxRxMode = 2;
    ZOLT32TxMessage(External, 9999, 0, 0, 0, 0);
    ZoltDelivers = !To(External, 9999).empty();
    Inbox.clear();
}

inline void Finish()
{
    SetPortTransmitHook(nullptr);
    SetDebugSink(nullptr);
}

inline void UsePort(int port, uint8_t protocol, int32_t minDest, int32_t maxDest)
{
    Profile.Ports[port].Port = port;
    Profile.Ports[port].Protocol = protocol;
    Profile.Ports[port].MinDest = minDest;
    Profile.Ports[port].MaxDest = maxDest;
    Profile.Ports[port].Speed = 9600;
    Ports.InUse[port] = 1;
    Proto.NextPoll[port] = minDest;
    Proto.RxCount[port] = 0;
}

inline void Feed(int port, const std::vector<uint8_t> &bytes)
{
    const ProtocolOps *ops = ProtocolTable[Profile.Ports[port].Protocol];
    for (uint8_t b : bytes)
        ops->receive(port, b);
}

// Tally notifications (2741) the external driver received, as {dest, source}.
inline std::vector<std::pair<int, int>> TalliesToExternal()
{
    std::vector<std::pair<int, int>> out;
    for (const auto &m : To(External, 2741))
        out.emplace_back(static_cast<int>(m.wParam), static_cast<int>(m.lParam));
    return out;
}

// ---- The simulated router, linked in process ----

inline std::vector<uint8_t> SimOutput;
inline std::vector<std::string> SimLines;

inline SimRouter MakeRouter(int sources, int dests, int minDest)
{
    SimRouter r;
    r.sources = sources;
    r.dests = dests;
    r.minDest = minDest;
    r.xpt.assign(1, std::vector<int>(static_cast<size_t>(dests) + 1, -1));
    SimOutput.clear();
    SimLines.clear();
    return r;
}

// The driver's frames so far go to the router; the router's answers come
// back to the driver on port.
inline void Exchange(const SimProtocol &sim, SimRouter &r, int port)
{
    std::vector<Frame> frames;
    frames.swap(Sent);
    for (const auto &f : frames)
        for (uint8_t b : f.bytes)
            sim.byte(r, b);
    std::vector<uint8_t> answer;
    answer.swap(SimOutput);
    Feed(port, answer);
}

}  // namespace bench

// The simulator's services, as the simulated router sees them.
inline void SimLogLine(const std::string &line) { bench::SimLines.push_back(line); }

void SimSend(SimRouter &r, const void *bytes, size_t length)
{
    if (r.silent)
        return;
    const uint8_t *data = static_cast<const uint8_t *>(bytes);
    bench::SimOutput.insert(bench::SimOutput.end(), data, data + length);
}

void SimLog(const char *format, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    SimLogLine(line);
}

void SimLogFrame(const char *tag, const void *bytes, size_t length)
{
    const uint8_t *data = static_cast<const uint8_t *>(bytes);
    SimLogLine(std::string(tag) + " " + bench::Hex(std::vector<uint8_t>(data, data + length)));
}

#include "tools/routersim/simline.cpp"
