// The message bus between real programs: vek, the bus client, a flood of
// hostile connections and a peer of another user.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "link/bridge.h"
#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "tests/support/system.h"

namespace {

std::string VekWindow(Site &s)
{
    std::string log = s.VekLog();
    size_t at = log.find("READY window=");
    return at == std::string::npos ? "" : log.substr(at + 13, 10);
}

std::string VekSocket(Site &s)
{
    std::string w = VekWindow(s);
    return s.Path("bus/w" + w.substr(2));
}

int ConnectTo(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A hostile program written against the wire format alone: no window of
// its own (sender 0), one connection per send, every byte it moves counted.
struct RawPeer {
    std::string bus;
    size_t bytes = 0;
    uint32_t sequence = 1;

    // One send and its reply; false when no reply came within timeoutMs
    // (the target died, closed the connection or is stuck).
    bool Send(uint32_t target, uint32_t code, uint32_t wParam, int32_t lParam, int32_t *result,
              int timeoutMs = 7000)
    {
        char name[16];
        std::snprintf(name, sizeof name, "/w%08x", target);
        int fd = ConnectTo(bus + name);
        if (fd < 0)
            return false;
        uint32_t seq = sequence++;
        uint32_t words[9] = {0x314D575A, 1, seq, 0, target, code, wParam,
                             static_cast<uint32_t>(lParam), 0};
        bool ok = send(fd, words, sizeof words, MSG_NOSIGNAL) == sizeof words;
        bytes += sizeof words;
        std::vector<uint8_t> reply(65573);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        ssize_t n = -1;
        while (ok && n < 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            n = recv(fd, reply.data(), reply.size(), 0);
        }
        close(fd);
        if (n < 36)
            return false;
        bytes += static_cast<size_t>(n);
        uint32_t got[9];
        std::memcpy(got, reply.data(), sizeof got);
        if (got[0] != 0x314D575A || (got[1] & 0xFF) != 3 || got[2] != seq || got[5] != code)
            return false;
        *result = static_cast<int32_t>(got[7]);
        return true;
    }
    // The window VEK has registered for a driver Id (VEK's own message 31233).
    uint32_t DriverWindow(Site &s, int id)
    {
        int32_t window = 0;
        uint32_t vek = static_cast<uint32_t>(std::stoul(VekWindow(s), nullptr, 16));
        return Send(vek, 31233, static_cast<uint32_t>(id), 0, &window) ? static_cast<uint32_t>(window)
                                                                        : 0;
    }
};

const char *kSimulated = "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\nSimulation=1\n";

}  // namespace

// A peer attaches the driver's own main window as its external driver, then
// sends the link messages the driver forwards to an external driver.  The
// driver refuses the attach and keeps answering; a real external driver
// attached afterwards gets the attach answer and the forwarded question.
TEST(EndToEndBus, SelfAttachIsRefusedAndTheDriverKeepsAnswering)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, kSimulated);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("code=2193"));
    RawPeer peer{s.Path("bus")};
    uint32_t driver = peer.DriverWindow(s, 7);
    ASSERT_NE(driver, 0u);
    auto start = std::chrono::steady_clock::now();
    int32_t r = -1;
    ASSERT_TRUE(peer.Send(driver, 2734, driver, 7, &r));
    ASSERT_TRUE(peer.Send(driver, 49155, driver, 7, &r));
    EXPECT_TRUE(peer.Send(driver, 2179, 0, 7, &r)) << "the driver stopped answering";
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(peer.Send(driver, 2190, 0, 0, &r));
    EXPECT_TRUE(peer.Send(driver, 2732, 0, 0, &r));
    EXPECT_EQ(r, 1);  // Rx Only, as 2190 asked
    EXPECT_TRUE(ChildRunning(&s.Driver()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_LT(peer.bytes, 1024u);

    Child ext;
    ASSERT_TRUE(StartChild(&ext, {WEXMSG_BIN, "--root", s.root.dir, "attach", "driver:7", "--driver", "7",
                                  "--result", "2179=5"},
                           {}, s.root.dir, "external"));
    ASSERT_TRUE(WaitForOutput(ext, "RX code=2739")) << ChildOutput(ext);
    ASSERT_TRUE(WaitForOutput(ext, "TX code=2734"));
    EXPECT_TRUE(peer.Send(driver, 2179, 0, 7, &r));
    EXPECT_EQ(r, 5);
    EXPECT_TRUE(WaitForOutput(ext, "RX code=2179"));
    ChildStop(&ext);
    EXPECT_EQ(s.StopDriver(), 0);
}

// HWND_BROADCAST offered as the external driver, the control window and VEK
// is refused: the first driver's normal shutdown then tells only its own
// programs, and a second driver on the bus runs on.
TEST(EndToEndBus, BroadcastHandleIsRefusedAndOtherDriversRunOn)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\nDriverMode=EXTERNAL\n");
    s.WriteProfile(8, kSimulated);
    ASSERT_TRUE(s.StartDriver("a", "7"));
    ASSERT_TRUE(s.StartDriver("b", "8"));
    ASSERT_TRUE(s.WaitVek("code=2193", 2));
    RawPeer peer{s.Path("bus")};
    uint32_t a = peer.DriverWindow(s, 7), b = peer.DriverWindow(s, 8);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    auto start = std::chrono::steady_clock::now();
    int32_t r = -1;
    for (uint32_t code : {2734u, 49155u, 2774u, 49164u}) {
        EXPECT_TRUE(peer.Send(a, code, 0xFFFF, 7, &r));
        EXPECT_EQ(r, 0);
    }
    EXPECT_TRUE(peer.Send(a, 2032, 0xFFFF, 0, &r));
    EXPECT_EQ(s.StopDriver("a"), 0);
    // Driver b would have answered a broadcast 2175 with its own shutdown
    // (deregistering from VEK) before driver a could end.
    EXPECT_EQ(CountOccurrences(s.VekLog(), "code=2186"), 1u) << s.VekLog();
    EXPECT_TRUE(peer.Send(b, 2732, 0, 0, &r));
    EXPECT_EQ(r, 2);
    EXPECT_TRUE(ChildRunning(&s.Driver("b")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_LT(peer.bytes, 1024u);
    EXPECT_EQ(s.StopDriver("b"), 0);
}

TEST(EndToEndBus, BroadcastTextAndBufferRoundTrips)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "42"}));
    // Finding "vek" is the attach broadcast: vek sends 2032 back before it returns.
    EXPECT_NE(Wexmsg(s, {"send", "vek", "2119"}).find("result=42"), std::string::npos);
    std::string names = Wexmsg(s, {"names", "vek", "7", "1", "12"});
    EXPECT_NE(names.find("name=\"DST 012\""), std::string::npos) << names;
    s.Vek("ws 5");
    ASSERT_TRUE(s.WaitVek("OK workstation=5"));
    EXPECT_NE(Wexmsg(s, {"send", VekWindow(s), "2119"}).find("result=5"), std::string::npos);
}

// A control program attached to the driver dies, or stops answering: the
// driver's notices to it cost at most the bound, and revertives still flow.
TEST(EndToEndBus, DeadAndStoppedTargetsDoNotHangTheDriver)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\nSimulation=1\n");
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("code=2193"));
    for (int round = 0; round < 2; ++round) {
        Child ctl;
        ASSERT_TRUE(StartChild(&ctl, {WEXMSG_BIN, "--root", s.root.dir, "attach", "driver:7", "--control", "7"},
                               {}, s.root.dir, "control" + std::to_string(round)));
        ASSERT_TRUE(WaitForOutput(ctl, "code=2042")) << ChildOutput(ctl);
        bool stop = round == 1;
        kill(ctl.pid, stop ? SIGSTOP : SIGKILL);
        std::string src = std::to_string(3 + round);
        auto start = std::chrono::steady_clock::now();
        s.Vek("cmd 7 RC 7 " + src + " 9 ',---' 0");
        ASSERT_TRUE(s.WaitVek("text=\"RR 007 009 00" + src + "\"", 1, 15000)) << s.VekLog();
        auto waited = std::chrono::steady_clock::now() - start;
        // A dead one is noticed at once; a stopped one costs the 5-second bound.
        EXPECT_LT(waited, std::chrono::seconds(stop ? 12 : 3));
        kill(ctl.pid, SIGKILL);
        kill(ctl.pid, SIGCONT);
        ChildWait(&ctl, 5000);
    }
    EXPECT_EQ(s.StopDriver(), 0);
}

TEST(EndToEndBus, FloodOfHostileConnectionsLeavesTheEndpointServing)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "9"}));
    std::string path = VekSocket(s);
    pid_t pid = fork();
    if (pid == 0) {
        // Another local process: hundreds of connections, garbage and
        // truncated frames, some left open.
        std::vector<int> open;
        for (int i = 0; i < 400; ++i) {
            int fd = ConnectTo(path);
            if (fd < 0)
                continue;
            uint8_t junk[64];
            for (size_t k = 0; k < sizeof junk; ++k)
                junk[k] = static_cast<uint8_t>(i * 31 + k * 7);
            if (i % 3 == 0)
                std::memcpy(junk, "ZWM1", 4);  // right magic, wrong rest
            send(fd, junk, 1 + (i % 64), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (i % 2)
                close(fd);
            else
                open.push_back(fd);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_NE(Wexmsg(s, {"send", VekWindow(s), "2119"}).find("result=9"), std::string::npos);
    EXPECT_TRUE(ChildRunning(&s.vek));
}

TEST(EndToEndBus, PeerOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as another user";
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "9"}));
    std::string path = VekSocket(s);
    // Let the other user reach the socket file; only the credential check
    // stands in the way then.
    chmod(s.Path("bus").c_str(), 0711);
    chmod(path.c_str(), 0777);
    chmod(s.root.dir.c_str(), 0711);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    if (pid == 0) {
        setgroups(0, nullptr);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        int fd = ConnectTo(path);
        if (fd < 0)
            _exit(4);
        // A valid send frame for 2119: a trusted peer would get a reply.
        uint8_t f[36] = {};
        uint32_t words[9] = {0x314D575A, 1, 1, 0, 0, 2119, 0, 0, 0};
        std::memcpy(f, words, sizeof words);
        uint32_t target = static_cast<uint32_t>(std::stoul(path.substr(path.size() - 8), nullptr, 16));
        std::memcpy(f + 16, &target, 4);
        send(fd, f, sizeof f, MSG_NOSIGNAL);
        uint8_t reply[128];
        ssize_t n = recv(fd, reply, sizeof reply, 0);  // closed at once: 0 or error
        _exit(n > 0 ? 5 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod(s.Path("bus").c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3/4: could not run the client; 5: it got a reply";
    EXPECT_NE(Wexmsg(s, {"send", VekWindow(s), "2119"}).find("result=9"), std::string::npos);
}

// Whoever can write into vek's control FIFO commands VEK: only our own FIFO,
// with no group or other access and not through a symbolic link, is used.
TEST(EndToEndBus, VekControlFifoMustBeOurOwn)
{
    Site s;
    std::string good = s.Path("good.ctl");
    ASSERT_EQ(mkfifo(good.c_str(), 0600), 0);
    const struct {
        const char *name;
        std::function<bool(const std::string &)> make;
        const char *why;
    } cases[] = {
        {"open.ctl", [](const std::string &p) { return mkfifo(p.c_str(), 0600) == 0 && chmod(p.c_str(), 0622) == 0; },
         "group or others"},
        {"link.ctl", [&](const std::string &p) { return symlink(good.c_str(), p.c_str()) == 0; },
         "symbolic link"},
        {"file.ctl", [](const std::string &p) { WriteTextFile(p, "quit\n"); return chmod(p.c_str(), 0600) == 0; },
         "not a FIFO"},
        {"theirs.ctl",
         [](const std::string &p) { return geteuid() == 0 && mkfifo(p.c_str(), 0600) == 0 && chown(p.c_str(), 65534, 65534) == 0; },
         "another user"},
    };
    for (const auto &c : cases) {
        std::string path = s.Path(c.name);
        if (!c.make(path))
            continue;  // "theirs" needs root
        Child vek;
        ASSERT_TRUE(StartChild(&vek, {VEK_BIN, "--root", s.root.dir, "--no-stdin", "--control", path}, {},
                               s.root.dir, std::string("vek-") + c.name));
        ASSERT_TRUE(ChildWait(&vek, 10000)) << c.name;
        EXPECT_EQ(vek.exitStatus, 1) << c.name;
        EXPECT_NE(ChildErrors(vek).find(c.why), std::string::npos) << ChildErrors(vek);
        EXPECT_EQ(ChildOutput(vek).find("READY"), std::string::npos) << c.name;
    }
    // Our own FIFO is used and left in place (vek did not make it).
    ASSERT_TRUE(s.StartVek({"--no-stdin", "--control", good}));
    int fd = open(good.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "ws 4\n", 5), 5);
    close(fd);
    EXPECT_TRUE(s.WaitVek("OK workstation=4"));
}

namespace {

HWND NestedTarget = 0;  // wexmsg's window

// Answers wexmsg's bridge reply by sending it a number message while
// wexmsg waits for that reply to be taken: a nested delivery whose lParam
// is a plain number.
LRESULT NestingPeer(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA || !lParam)
        return 0;
    auto *record = reinterpret_cast<COPYDATASTRUCT *>(lParam);
    if ((record->dwData >> 16) == kBridgeReply)
        BusSend(0, NestedTarget, 2742, 7, 0x41414141);
    BridgeReceive(window, static_cast<HWND>(wParam), record);
    return 0;
}

}  // namespace

// wexmsg answers a bridge text request; while its reply is under way a
// number message arrives nested.  It must be taken as the number it is, not
// as the bridge request's text buffer (a crash, or --reply-text written to
// address 0x41414141).
TEST(EndToEndBus, WexmsgTakesANestedNumberAsANumber)
{
    TempRoot root;
    SetRootDirectory(root.dir.c_str());
    unsetenv("ZOLT_BUS");
    std::string error;
    ASSERT_TRUE(BusOpen(&error)) << error;
    HWND peer = CreateWindowProc(NestingPeer, true);
    char handle[16];
    std::snprintf(handle, sizeof handle, "0x%08x", static_cast<unsigned>(peer));
    Child ctl;
    ASSERT_TRUE(StartChild(&ctl, {WEXMSG_BIN, "--root", root.dir, "attach", handle, "--control", "7",
                                  "--reply-text", "OK"},
                           {}, root.dir, "attached"));
    // Serve wexmsg's attach message (2774) while it starts.
    ASSERT_TRUE(WaitFor([&] {
        LoopRunOnce(10);
        return ChildOutput(ctl).find("TX code=2774") != std::string::npos;
    }));
    std::string out = ChildOutput(ctl);
    NestedTarget = static_cast<HWND>(std::stoul(out.substr(out.find("READY window=") + 13, 10), nullptr, 16));
    char text[kBridgeTextSize] = "RC 7 5 12 ',---' 0";
    int32_t result = BridgeSend(peer, NestedTarget, 2776, 0, reinterpret_cast<uintptr_t>(text), 32, 1);
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(text, "OK");
    EXPECT_TRUE(WaitForOutput(ctl, "RX code=2742 wparam=7 lparam=1094795585"));
    EXPECT_TRUE(ChildRunning(&ctl)) << ChildErrors(ctl);
    DestroyWindowProc(peer);
    BusClose();
    ChildStop(&ctl);
}

// ---- hostile peers against the driver, written to the wire format ----

namespace {

constexpr uint32_t kMagic = 0x314D575A;
const char *kProfile = "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\nSimulation=1\n";

std::vector<uint8_t> WireFrame(uint8_t kind, uint32_t seq, uint32_t sender, uint32_t target,
                               uint32_t code, uint32_t wParam, int32_t lParam, size_t block = 0)
{
    std::vector<uint8_t> f(36 + block, 'x');
    uint32_t words[9] = {kMagic, kind, seq, sender, target, code, wParam,
                         static_cast<uint32_t>(lParam), static_cast<uint32_t>(block)};
    std::memcpy(f.data(), words, sizeof words);  // little-endian like the wire
    return f;
}

uint32_t Word(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::string SocketOf(Site &s, uint32_t window)
{
    char name[16];
    std::snprintf(name, sizeof name, "bus/w%08x", window);
    return s.Path(name);
}

// The driver's main window, from the registration VEK logged.
uint32_t DriverWindow(Site &s)
{
    std::string log = s.VekLog();
    size_t at = log.find("code=2193");
    at = at == std::string::npos ? at : log.find("from=0x", at);
    return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(log.substr(at + 7, 8), nullptr, 16));
}

// A listening window socket that never accepts: sends to it go unanswered.
int SilentWindow(Site &s, uint32_t window)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", SocketOf(s, window).c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

long ProcStatusKb(pid_t pid, const char *key)
{
    std::string text = ReadTextFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + std::strlen(key) + 1);
}

// User and system CPU seconds the process has used so far.
double ProcCpuSeconds(pid_t pid)
{
    std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return -1;
    std::vector<std::string> fields;
    size_t pos = at + 2;
    while (fields.size() < 15 && pos < stat.size()) {
        size_t end = stat.find(' ', pos);
        fields.push_back(stat.substr(pos, end - pos));
        pos = end == std::string::npos ? stat.size() : end + 1;
    }
    if (fields.size() < 13)
        return -1;
    // after the name: state is field 3, utime 14 and stime 15
    return (std::stod(fields[11]) + std::stod(fields[12])) / sysconf(_SC_CLK_TCK);
}

size_t OpenFds(pid_t pid)
{
    size_t n = 0;
    for (auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)e;
        ++n;
    }
    return n;
}

bool StartRegisteredDriver(Site &s)
{
    s.WriteProfile(7, kProfile);
    return s.StartDriver("wex", "7") && s.WaitVek("code=2193");
}

bool DriverAnswers(Site &s)
{
    return Wexmsg(s, {"send", "driver:7", "2119"}).find("result=9") != std::string::npos;
}

}  // namespace

// A peer attaches a silent control window, so the driver waits 5 s for its
// answer to 2042, and meanwhile floods the driver with 64 KB posts.  The
// driver keeps only its bounded queue: its memory stays small.
TEST(EndToEndBus, PostFloodDuringAStalledSendLeavesTheDriverSmall)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "9"}));
    ASSERT_TRUE(StartRegisteredDriver(s));
    uint32_t driver = DriverWindow(s);
    pid_t pid = s.Driver().pid;
    const uint32_t control = 0x5a5a00c1;
    int silent = SilentWindow(s, control);
    ASSERT_GE(silent, 0);
    int attach = ConnectTo(SocketOf(s, driver));
    ASSERT_GE(attach, 0);
    auto frame = WireFrame(1, 1, control, driver, 2774, control, 7);
    ASSERT_GT(send(attach, frame.data(), frame.size(), MSG_NOSIGNAL), 0);
    pollfd asked{silent, POLLIN, 0};
    ASSERT_EQ(poll(&asked, 1, 5000), 1);  // the driver is now waiting on us
    auto post = WireFrame(2, 0, control, driver, 2500, 0, 0, 65536);
    long peakKb = 0;
    size_t sentBytes = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(4000);
    int flood = -1;
    while (std::chrono::steady_clock::now() < end && sentBytes < (400u << 20)) {
        if (flood < 0 && (flood = ConnectTo(SocketOf(s, driver))) < 0)
            break;
        if (send(flood, post.data(), post.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
            sentBytes += post.size();
        } else if (errno == EAGAIN) {
            pollfd out{flood, POLLOUT, 0};
            poll(&out, 1, 20);
        } else {
            close(flood);  // closed by the driver for passing its share
            flood = -1;
        }
        peakKb = std::max(peakKb, ProcStatusKb(pid, "VmRSS:"));
    }
    if (flood >= 0)
        close(flood);
    close(attach);
    close(silent);
    unlink(SocketOf(s, control).c_str());
    EXPECT_GT(sentBytes, 32u << 20) << "the flood did not get going";
    EXPECT_LT(peakKb, 64 * 1024) << "peak RSS in KB after " << (sentBytes >> 20) << " MB of posts";
    std::printf("flood: %zu MB of posts, driver peak RSS %ld KB\n", sentBytes >> 20, peakKb);
    EXPECT_TRUE(DriverAnswers(s));
    EXPECT_EQ(s.StopDriver(), 0);
}

// Ten processes hold 600 idle connections to the driver: the newest push
// out the longest-idle, and a newcomer is still served.
TEST(EndToEndBus, SixHundredIdleConnectionsDoNotLockOthersOut)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "9"}));
    ASSERT_TRUE(StartRegisteredDriver(s));
    std::string path = SocketOf(s, DriverWindow(s));
    std::vector<pid_t> holders;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    for (int p = 0; p < 10; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a failed test
            std::vector<int> fds;
            for (int i = 0; i < 60; ++i)
                fds.push_back(ConnectTo(path));
            ssize_t w = write(ready[1], "R", 1);
            (void)w;
            pause();
            _exit(0);
        }
        holders.push_back(pid);
    }
    char byte;
    for (int p = 0; p < 10; ++p)
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_TRUE(WaitFor([&] { return OpenFds(s.Driver().pid) < 560; }, 5000));
    EXPECT_TRUE(DriverAnswers(s));
    s.Vek("cmd 7 RC 7 3 9 ',---' 0");
    EXPECT_TRUE(s.WaitVek("text=\"RR 007 009 003\"", 1, 10000));
    for (pid_t pid : holders) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(s.StopDriver(), 0);
}

// 20,000 plain files named like windows: VEK is still found, and the names
// that no window can answer on are cleared away.
TEST(EndToEndBus, TwentyThousandJunkNamesDoNotHideVek)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "9"}));
    for (uint32_t i = 0; i < 20000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "bus/w%08x", 0x10000000u + i * 7919u);
        int fd = open(s.Path(name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    ASSERT_TRUE(StartRegisteredDriver(s)) << s.DriverErrors();
    size_t left = 0;
    for (auto &e : std::filesystem::directory_iterator(s.Path("bus")))
        left += !e.is_socket();
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(s.StopDriver(), 0);
}

// Four windows that never answer cost the attach broadcast one bound of
// 5 seconds in all, not 5 seconds each.
TEST(EndToEndBus, FourSilentWindowsDelayRegistrationByOneBound)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "9"}));
    std::vector<int> silent;
    for (uint32_t w = 0x5a5a00d1; w <= 0x5a5a00d4; ++w)
        silent.push_back(SilentWindow(s, w));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(StartRegisteredDriver(s));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(8000));
    std::printf("four silent windows: registered after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    for (int fd : silent) {
        pollfd got{fd, POLLIN, 0};
        EXPECT_EQ(poll(&got, 1, 0), 1);  // every one was offered the broadcast
        close(fd);
    }
    EXPECT_EQ(s.StopDriver(), 0);
}

// The driver's descriptor limit is lowered to what it holds, and peers keep
// connecting: the accept loop must not spin.
TEST(EndToEndBus, ExhaustedDescriptorsDoNotSpin)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "9"}));
    ASSERT_TRUE(StartRegisteredDriver(s));
    pid_t pid = s.Driver().pid;
    std::string path = SocketOf(s, DriverWindow(s));
    rlimit saved{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = OpenFds(pid);
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
    std::vector<int> peers;
    for (int i = 0; i < 40; ++i)
        peers.push_back(ConnectTo(path));
    usleep(200 * 1000);  // let the driver meet them (the measurement below is the check)
    double before = ProcCpuSeconds(pid);
    usleep(2000 * 1000);
    double used = ProcCpuSeconds(pid) - before;
    EXPECT_LT(used, 0.3) << "CPU seconds in 2 s at the descriptor limit";
    std::printf("descriptor limit: %.2f CPU seconds in 2 s\n", used);
    for (int fd : peers)
        if (fd >= 0)
            close(fd);
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_TRUE(DriverAnswers(s));
    EXPECT_EQ(s.StopDriver(), 0);
}

namespace {

// A VEK written to the wire format that answers the attach broadcast (2032
// to the driver before its reply) and then never answers anything again.
struct SilentVek {
    uint32_t handle = 0x5a5a00e1;
    int listenFd = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<int> asked2119{0};

    void Run(Site *s)
    {
        std::vector<int> conns;
        std::vector<uint8_t> buf(70000);
        while (!stop) {
            std::vector<pollfd> set{{listenFd, POLLIN, 0}};
            for (int c : conns)
                set.push_back(pollfd{c, POLLIN, 0});
            if (poll(set.data(), set.size(), 50) <= 0)
                continue;
            if (set[0].revents)
                conns.push_back(accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
            for (size_t i = 1; i < set.size(); ++i) {
                if (!set[i].revents)
                    continue;
                ssize_t n = recv(set[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n >= 36 && buf[4] == 1)
                    Answer(s, set[i].fd, buf.data());
            }
        }
        for (int c : conns)
            close(c);
    }
    void Answer(Site *s, int fd, const uint8_t *f)
    {
        uint32_t code = Word(f + 20), sender = Word(f + 12), wParam = Word(f + 24);
        if (code == 2119)
            ++asked2119;
        if (code != 2031)
            return;  // silent from now on
        int d = ConnectTo(SocketOf(*s, wParam));
        auto found = WireFrame(1, 77, handle, wParam, 2032, handle, 0);
        send(d, found.data(), found.size(), MSG_NOSIGNAL);
        pollfd p{d, POLLIN, 0};
        poll(&p, 1, 5000);  // the driver's reply
        close(d);
        auto reply = WireFrame(3, Word(f + 8), handle, sender, 2031, 0, 0);
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
};

}  // namespace

// SIGTERM while the driver waits on a VEK that stopped answering: the stop
// is acted on when that wait ends, not after the whole chain of start-up
// requests (name lists, registration) has waited out its bounds one by one.
TEST(EndToEndBus, StopDuringAWaitIsActedOnWhenTheWaitEnds)
{
    Site s;
    SilentVek vek;
    mkdir(s.Path("bus").c_str(), 0700);
    vek.listenFd = SilentWindow(s, vek.handle);
    ASSERT_GE(vek.listenFd, 0);
    vek.thread = std::thread([&] { vek.Run(&s); });
    s.WriteProfile(7, kProfile);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    bool asked = WaitFor([&] { return vek.asked2119 > 0; }, 10000);
    auto start = std::chrono::steady_clock::now();
    kill(s.Driver().pid, SIGTERM);
    bool ended = ChildWait(&s.Driver(), 13000);
    auto took = std::chrono::steady_clock::now() - start;
    if (!ended)
        ChildStop(&s.Driver(), 1000);
    vek.stop = true;
    vek.thread.join();
    close(vek.listenFd);
    ASSERT_TRUE(asked) << s.DriverErrors();
    EXPECT_TRUE(ended) << "still running 13 s after SIGTERM";
    // the wait under way (5 s) and the deregistration (5 s), nothing more
    EXPECT_LT(took, std::chrono::milliseconds(12500));
    EXPECT_EQ(s.Driver().exitStatus, 0) << s.DriverErrors();
}

namespace {

// Marks a directory immutable (nobody, root included, may add a name);
// false where the file system or our capabilities do not allow it.
bool SetImmutable(const std::string &dir, bool on)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

}  // namespace

// A bus directory the driver may not use, or one where its main window
// cannot get its socket: the driver says why and exits non-zero, so that a
// service manager sees it fail.
TEST(EndToEndBus, UnusableBusDirectoryStopsTheDriverWithAReason)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the directory to another user or to run as one";
    struct Case {
        const char *what;
        uid_t owner;
        bool asNobody, immutable;
        const char *says;
    };
    const Case cases[] = {
        {"another user's directory, driver as root", 65534, false, false, "owned by user 65534"},
        {"root's directory, driver as another user", 0, true, false, "owned by user 0"},
        {"no socket can be made in it", 0, false, true, "cannot create the main window"},
    };
    for (const auto &tc : cases) {
        Site s;
        s.WriteProfile(7, kProfile);
        chmod(s.root.dir.c_str(), 0755);
        ASSERT_EQ(mkdir(s.Path("bus").c_str(), 0700), 0);
        ASSERT_EQ(chown(s.Path("bus").c_str(), tc.owner, tc.owner), 0);
        if (tc.immutable && !SetImmutable(s.Path("bus"), true)) {
            std::printf("skipped: %s (cannot make a directory immutable here)\n", tc.what);
            continue;
        }
        std::vector<std::string> argv = {WEX_BIN, "--headless", "--root", s.root.dir, "7"};
        if (tc.asNobody)
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups"});
        Child &d = s.Driver();
        ASSERT_TRUE(StartChild(&d, argv, {}, s.root.dir, "wex"));
        bool ended = ChildWait(&d, 10000);
        if (tc.immutable)
            SetImmutable(s.Path("bus"), false);
        ASSERT_TRUE(ended) << tc.what;
        EXPECT_NE(d.exitStatus, 0) << tc.what;
        EXPECT_NE(ChildErrors(d).find(tc.says), std::string::npos) << tc.what << ": " << ChildErrors(d);
    }
}
