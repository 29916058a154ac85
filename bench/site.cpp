// The site the benchmarks run in: a fresh root, our own VEK window on the
// bus, the bare peer and the real driver as child processes.
//
// Our VEK window answers what the driver asks at start-up the way vek does
// (2031 -> 2032 with our window, 2119 -> workstation 1, 2193 -> accepted,
// 2164 -> a generated name) and keeps, with the moment of arrival, the
// revertives it is sent: 2187 one at a time, 2188 as a batch.
#include "bench/bench.h"

#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

SiteState Site;
VekRecord Vek;

namespace {

constexpr UINT kMsgAttach = 2031;
constexpr UINT kMsgAttachAnswer = 2032;
constexpr UINT kMsgWorkstation = 2119;
constexpr UINT kMsgNameRequest = 2164;
constexpr UINT kMsgRegister = 2193;

LRESULT ServeName(LPARAM lParam)
{
    auto *block = reinterpret_cast<uint8_t *>(lParam);
    uint32_t length = BusDeliveryBlockLength();
    if (block == nullptr || length < 6)
        return 0;
    int db = block[2] | block[3] << 8;
    int index = block[4] | block[5] << 8;
    char name[24];
    int n = std::snprintf(name, sizeof name, "%s %03d", db == 0 ? "SRC" : "DST", index);
    size_t copy = std::min(static_cast<size_t>(n), static_cast<size_t>(length - 1));
    std::memcpy(block, name, copy);
    block[copy] = 0;
    return 1;
}

void TakeRevertive(const char *text)
{
    int64_t now = NowNs();
    ++Vek.revertives;
    Vek.lastRevertiveNs = now;
    if (Vek.expectNs == 0 && !Vek.expect.empty() && Vek.expect == text)
        Vek.expectNs = now;
    if (Vek.trace)
        Vek.trace->push_back(text);
    int device = 0, dest = 0, source = 0;
    if (std::sscanf(text, "RR %d %d %d", &device, &dest, &source) == 3 && dest >= 1 &&
        dest <= kBenchMaxDest)
        Vek.reported[dest] = source;
}

// "RR ddd ddd ddd": the destination is the second number.
void TakeBatchText(const char *text)
{
    int64_t now = NowNs();
    ++Vek.batchMessages;
    int device = 0, dest = 0, source = 0;
    if (std::sscanf(text, "RR %d %d %d", &device, &dest, &source) != 3 || dest < 1 ||
        dest > kBenchMaxDest)
        return;
    std::snprintf(Vek.held[dest], sizeof Vek.held[dest], "%s", text);
    if (Vek.heldIn[dest] == Vek.batchGeneration)
        return;
    Vek.heldIn[dest] = Vek.batchGeneration;
    if (++Vek.batchHeld == Vek.batchExpect)
        Vek.batchDoneNs = now;
}

LRESULT VekProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    const char *text = reinterpret_cast<const char *>(lParam);
    switch (message) {
    case kMsgAttach:
        SendMessage(static_cast<HWND>(wParam), kMsgAttachAnswer, Site.vek, 0);
        return 0;
    case kMsgWorkstation:
        return 1;
    case kMsgRegister:
        Vek.driver = static_cast<HWND>(wParam);
        Vek.driverId = static_cast<int32_t>(lParam);
        return 0;
    case kMsgNameRequest:
        return ServeName(lParam);
    case kMsgRevertive:
        if (text)
            TakeRevertive(text);
        return 0;
    case kMsgRevertiveBatch:
        if (text)
            TakeBatchText(text);
        return 0;
    default:
        return 0;
    }
}

// Reads one line from a child's pipe within the timeout.
bool ReadLine(int fd, std::string *line, int timeoutMs)
{
    int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    line->clear();
    for (;;) {
        int left = static_cast<int>((deadline - NowNs()) / 1000000);
        pollfd in{fd, POLLIN, 0};
        if (left <= 0 || poll(&in, 1, left) <= 0)
            return false;
        char c = 0;
        if (read(fd, &c, 1) != 1)
            return false;
        if (c == '\n')
            return true;
        line->push_back(c);
    }
}

bool StartPeer(std::string *error)
{
    int out[2];
    if (pipe(out) != 0) {
        *error = "pipe failed";
        return false;
    }
    const char *self = Site.selfBin.c_str();
    const char *root = Site.root.c_str();
    Site.peerPid = fork();
    if (Site.peerPid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(self, self, "--peer", root, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    bool ok = Site.peerPid > 0 && ReadLine(out[0], &line, 10000) &&
              std::sscanf(line.c_str(), "READY 0x%x", &Site.peer) == 1;
    close(out[0]);
    if (!ok)
        *error = "the bare peer did not start (" + line + ")";
    return ok;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

}  // namespace

bool RunLoopSlice(int64_t deadlineNs)
{
    int64_t left = deadlineNs - NowNs();
    if (left <= 0)
        return false;
    int ms = static_cast<int>(std::min<int64_t>(left / 1000000 + 1, 20));
    LoopRunOnce(ms);
    return true;
}

bool SiteCreate(std::string *error)
{
    char dir[] = "/tmp/wexbench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        *error = "mkdtemp failed";
        return false;
    }
    Site.root = dir;
    setenv("ZOLT_BUS", (Site.root + "/bus").c_str(), 1);
    SetRootDirectory(dir);
    if (!WatchStart(error))
        return false;
    std::ofstream paths(Site.root + "/zolt_config.ini");
    paths << "[Serial]\nCOM1=" << Watch.routerSlavePath << "\n";
    paths.close();
    if (!BusOpen(error))
        return false;
    Site.vek = CreateWindowProc(VekProc, true);
    return Site.vek != 0 && StartPeer(error);
}

// The driver's command line, behind Site.wrap's words when a profiler or
// tracer is to run it.
std::vector<std::string> DriverArgs(int32_t id)
{
    std::vector<std::string> args;
    std::istringstream words(Site.wrap);
    for (std::string w; words >> w;) {
        size_t at = w.find("{id}");
        if (at != std::string::npos)
            w.replace(at, 4, std::to_string(id));
        args.push_back(w);
    }
    for (const char *a : {Site.wexBin.c_str(), "--headless", "--root", Site.root.c_str()})
        args.push_back(a);
    args.push_back(std::to_string(id));
    return args;
}

bool StartDriver(int32_t id, const std::string &profile, std::string *error)
{
    char name[32];
    std::snprintf(name, sizeof name, "/DEV_%03d.INI", id);
    std::ofstream(Site.root + name) << profile;
    std::string log = Site.root + "/wex-" + std::to_string(id) + ".log";
    std::vector<std::string> args = DriverArgs(id);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Vek = VekRecord{};
    Site.wexId = id;
    Site.wexPid = fork();
    if (Site.wexPid == 0) {
        setpgid(0, 0);  // its own group, so that a wrapper and the driver stop together
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (Site.wexPid > 0)
        setpgid(Site.wexPid, Site.wexPid);
    if (Site.wexPid < 0 || !RunUntil([&] { return Vek.driverId == id || !DriverAlive(); }, 20000) ||
        Vek.driverId != id) {
        *error = "the driver did not register:\n" + DriverLog();
        return false;
    }
    return true;
}

bool DriverAlive()
{
    if (Site.wexPid <= 0)
        return false;
    int status = 0;
    if (waitpid(Site.wexPid, &status, WNOHANG) == Site.wexPid) {
        Site.wexPid = -1;
        return false;
    }
    return true;
}

int StopDriver()
{
    if (Site.wexPid <= 0)
        return -1;
    pid_t pid = Site.wexPid;
    kill(-pid, SIGTERM);
    int status = 0;
    // It deregisters on the way out: keep answering until it has gone.
    bool gone = RunUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
    if (!gone) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    Site.wexPid = -1;
    if (!Site.wrap.empty())
        return 0;  // the wrapper's status is not the driver's
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string DriverLog()
{
    std::ifstream in(Site.root + "/wex-" + std::to_string(Site.wexId) + ".log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void BatchBegin(uint32_t expect)
{
    ++Vek.batchGeneration;
    Vek.batchExpect = expect;
    Vek.batchHeld = 0;
    Vek.batchDoneNs = 0;
    Vek.batchMessages = 0;
}

LRESULT SendCommand(HWND target, const char *text)
{
    char block[128];
    int n = std::snprintf(block, sizeof block, "%s", text);
    return BusSendBlock(Site.vek, target, kMsgCommand, 0, block, static_cast<uint32_t>(n + 1));
}

void SiteDestroy(bool keepRoot)
{
    if (Site.wexPid > 0)
        StopDriver();
    if (Site.peerPid > 0) {
        SendCommand(Site.peer, "QUIT");
        int status = 0;
        if (!RunUntil([&] { return waitpid(Site.peerPid, &status, WNOHANG) == Site.peerPid; },
                      5000)) {
            kill(Site.peerPid, SIGKILL);
            waitpid(Site.peerPid, &status, 0);
        }
        Site.peerPid = -1;
    }
    BusClose();
    WatchStop();
    if (!keepRoot && !Site.root.empty())
        nftw(Site.root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}
