// The message bus between real programs: vek, the bus client, a flood of
// hostile connections and a peer of another user.
#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "link/bridge.h"
#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "tests/support/system.h"

namespace {

// Runs wexmsg with the arguments and returns its standard output.
std::string Wexmsg(Site &s, const std::vector<std::string> &args, int *exitStatus = nullptr,
                   int timeoutMs = 15000)
{
    std::vector<std::string> argv = {WEXMSG_BIN, "--root", s.root.dir};
    argv.insert(argv.end(), args.begin(), args.end());
    static int n = 0;
    Child c;
    if (!StartChild(&c, argv, {}, s.root.dir, "wexmsg" + std::to_string(++n)))
        return "";
    if (!ChildWait(&c, timeoutMs))
        ChildStop(&c, 1000);
    if (exitStatus)
        *exitStatus = c.exitStatus;
    return ChildOutput(c);
}

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
