// wexbench: measures the driver against the floor of the machine it runs on.
//
// One process plays VEK (a window on the bus answering the driver like the
// control system does) and the router (it holds the master end of the
// driver's pseudo-terminal), while the real `wex` runs as its own process.
// A second copy of this program, started with --peer, is a bare window on
// the bus that answers at once: the floor every driver figure is set
// against, measured in the same run.
#pragma once
#include "platform/winapi.h"

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr int32_t kBenchMaxDest = 4096;
constexpr UINT kMsgCommand = 2074;
constexpr UINT kMsgRevertive = 2187;
constexpr UINT kMsgRevertiveBatch = 2188;

// Monotonic nanoseconds.
int64_t NowNs();

// ---- statistics (report.cpp) ----

struct Summary {
    size_t n = 0;
    double medianUs = 0;
    double p99Us = 0;
    double maxUs = 0;
};
// Nearest-rank median and 99th percentile of samples in nanoseconds.
Summary Summarise(std::vector<int64_t> samples);

// ---- pseudo-terminals and their reader thread (ptywatch.cpp) ----

// A line (up to its CR) read from one end, stamped with the moment its
// first byte was seen readable.
struct Frame {
    int64_t firstByteNs = 0;
    std::string text;
};

enum PtyEndId { kRouterEnd = 0, kFloorMaster = 1, kFloorSlave = 2, kPtyEnds = 3 };

struct PtyEnd {
    int fd = -1;
    std::atomic<bool> keep{true};  // queue complete frames for the main thread
    std::mutex lock;               // guards frames
    std::condition_variable ready;
    std::deque<Frame> frames;
    std::string partial;           // reader thread only
    int64_t partialStart = 0;      // reader thread only
};

struct WatchState {
    PtyEnd ends[kPtyEnds];
    int routerSlave = -1;          // held open so the master never sees a hang-up
    std::string routerSlavePath;   // what the driver opens as COM1
    int wakeFd = -1;               // eventfd that stops the reader
    std::thread reader;
    std::mutex wireLock;           // keeps a router line and `xpt` in one order
    std::atomic<int32_t> xpt[kBenchMaxDest + 1];  // the router's crosspoints, -1 unknown
    std::atomic<bool> answerSets{false};          // the reader answers set commands itself
    std::atomic<uint64_t> setsSeen{0};
    std::atomic<uint64_t> maxAnswerBurst{0};      // most answer bytes written in one wake
    std::atomic<int64_t> lastSetNs{0};
};
extern WatchState Watch;

// Opens the driver's line and the spare floor pair, starts the reader.
bool WatchStart(std::string *error);
void WatchStop();
// Waits for a frame of `end` whose text is exactly `want` (frames before it
// are dropped); false at the deadline.
bool WaitFrame(PtyEndId end, const std::string &want, int64_t deadlineNs, Frame *out);
void DropFrames(PtyEndId end);
// Every frame queued so far.
std::deque<Frame> TakeFrames(PtyEndId end);
// The router reports destination d carrying source s; returns the moment
// just before the line (CR included) was written.
int64_t RouterTally(int32_t d, int32_t s);
// Writes a whole line to a descriptor; returns the moment before the write.
int64_t WriteLine(int fd, const std::string &line);

// ---- the site: root, our VEK window, the peer and the driver (site.cpp) ----

struct SiteState {
    std::string root;
    std::string selfBin;
    std::string wexBin;
    std::string wrap;      // words run before the driver's command line (perf, strace)
    HWND vek = 0;          // our VEK window
    HWND peer = 0;         // the bare peer's window
    pid_t peerPid = -1;
    pid_t wexPid = -1;
    int32_t wexId = 0;
};
extern SiteState Site;

// What our VEK window has received.
struct VekRecord {
    HWND driver = 0;              // the window that registered
    int32_t driverId = 0;
    uint64_t revertives = 0;      // 2187 texts
    int64_t lastRevertiveNs = 0;
    int32_t reported[kBenchMaxDest + 1] = {};  // the last source each destination was reported with
    std::string expect;           // a 2187 text waited for
    int64_t expectNs = 0;         // when it came (0: not yet)
    uint32_t batchExpect = 0;     // 2188 texts a batch should bring
    uint32_t batchHeld = 0;       // distinct destinations held
    int64_t batchDoneNs = 0;      // when the last one needed came
    uint64_t batchMessages = 0;
    uint32_t batchGeneration = 1;
    uint32_t heldIn[kBenchMaxDest + 1] = {};  // generation that filled each slot
    char held[kBenchMaxDest + 1][24] = {};     // the texts themselves
    std::vector<std::string> *trace = nullptr; // when set, every 2187 text in order
};
extern VekRecord Vek;

bool SiteCreate(std::string *error);
void SiteDestroy(bool keepRoot);
// Writes the profile and starts `wex --headless --root ROOT ID`; true once
// the driver has registered with our VEK window.
bool StartDriver(int32_t id, const std::string &profile, std::string *error);
// SIGTERM to the driver, serving the bus until it has gone.
int StopDriver();
bool DriverAlive();
// The driver's standard error (its log, <root>/wex-<id>.log), for failure reports.
std::string DriverLog();
// Serves the bus until done() or the timeout; false at the timeout.
template <typename F> bool RunUntil(F done, int timeoutMs);
bool RunLoopSlice(int64_t deadlineNs);
void BatchBegin(uint32_t expect);
// One synchronous command text to a window.
LRESULT SendCommand(HWND target, const char *text);
int PeerMain(const char *root);

template <typename F> bool RunUntil(F done, int timeoutMs)
{
    int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    while (!done())
        if (!RunLoopSlice(deadline))
            return done();
    return true;
}

// ---- results and the report (report.cpp) ----

struct LatencyRow {
    std::string what;
    Summary driver;
    Summary floor;
    std::string target;
    bool met = false;
    std::string note;
};

struct ThroughputRow {
    std::string what;
    uint32_t commands = 0;
    uint64_t routed = 0;
    uint64_t revertives = 0;
    double seconds = 0;
    double floorSeconds = 0;
    bool agree = false;  // the driver's table matches the router (or every route came back)
    bool met = false;    // every command routed, in order, none lost
    std::string note;
};

struct Component {
    std::string what;
    Summary s;
};

struct BenchReport {
    bool quick = false;
    std::string loadAtStart;
    std::vector<LatencyRow> latency;
    std::vector<ThroughputRow> throughput;
    std::vector<Component> components;
    std::vector<std::string> findings;
    std::vector<std::string> failures;
};

bool WriteReport(const BenchReport &report, const std::string &path);
std::string FormatUs(double us);
// /proc/loadavg's three figures: other work on the machine skews every figure.
std::string LoadNow();
