// The message bus between real programs: vek, the bus client, a flood of
// hostile connections and a peer of another user.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

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

}  // namespace

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
