// The router simulator as a separate process: its pseudo-terminal, its log,
// its commands, and the driver's HBXRCP code talking to it.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "config/profile.h"
#include "link/attach.h"
#include "link/revertive.h"
#include "platform/loop.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "platform/debug.h"
#include "tests/support/modules.h"
#include "tests/support/support.h"

namespace {

constexpr int kDeadlineMs = 5000;

int64_t NowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// One routersim process with its standard input and output.
struct Sim {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    std::string pending;
    std::vector<std::string> log;

    bool Start(const std::vector<std::string> &args)
    {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(toChild[0], STDIN_FILENO);
            dup2(fromChild[1], STDOUT_FILENO);
            std::vector<char *> argv{const_cast<char *>(ROUTERSIM_BIN)};
            for (const auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(ROUTERSIM_BIN, argv.data());
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        in = toChild[1];
        out = fromChild[0];
        return pid > 0;
    }

    // The next log line, or "" when none came before the deadline.
    std::string Line(int64_t deadline)
    {
        for (;;) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                log.push_back(line);
                return line;
            }
            int64_t left = deadline - NowMs();
            pollfd p{out, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return "";
            char chunk[512];
            ssize_t n = read(out, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            pending.append(chunk, static_cast<size_t>(n));
        }
    }

    // Skips log lines up to the first one that starts with prefix.
    std::string WaitFor(const std::string &prefix)
    {
        int64_t deadline = NowMs() + kDeadlineMs;
        for (;;) {
            std::string line = Line(deadline);
            if (line.empty() || line.rfind(prefix, 0) == 0)
                return line;
        }
    }

    void Command(const std::string &text)
    {
        std::string line = text + "\n";
        ASSERT_EQ(write(in, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    // Exit status after SIGTERM, -1 if it did not end in time.
    int Stop()
    {
        if (pid <= 0)
            return -1;
        kill(pid, SIGTERM);
        int64_t deadline = NowMs() + kDeadlineMs;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (NowMs() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                pid = -1;
                return -1;
            }
            pollfd none{-1, 0, 0};
            poll(&none, 0, 10);  // the child has no descriptor to wait on
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~Sim()
    {
        Stop();
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
    }
};

int OpenSlave(const std::string &path)
{
    return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void Write(int fd, const std::string &bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Bytes from the simulator up to and including a CR, or what came before
// the deadline.
std::string Reply(int fd, int timeoutMs = kDeadlineMs)
{
    std::string got;
    int64_t deadline = NowMs() + timeoutMs;
    while (got.empty() || got.back() != '\r') {
        int64_t left = deadline - NowMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char c;
        if (read(fd, &c, 1) == 1)
            got += c;
    }
    return got;
}

// Exactly n bytes, or fewer if the deadline passes first.
std::string Bytes(int fd, size_t n)
{
    std::string got;
    int64_t deadline = NowMs() + kDeadlineMs;
    while (got.size() < n) {
        int64_t left = deadline - NowMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char c;
        if (read(fd, &c, 1) == 1)
            got += c;
    }
    return got;
}

bool Pending(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

class RouterSimTest : public ::testing::Test {
protected:
    Sim sim;
    std::string slave;
    int fd = -1;

    void Launch(std::vector<std::string> args)
    {
        ASSERT_EQ(access(ROUTERSIM_BIN, X_OK), 0) << "build the routersim target first";
        ASSERT_TRUE(sim.Start(args));
        std::string first = sim.Line(NowMs() + kDeadlineMs);
        ASSERT_EQ(first.rfind("PTY /dev/", 0), 0u) << first;
        slave = first.substr(4);
        ASSERT_EQ(sim.WaitFor("READY").rfind("READY HBXRCP", 0), 0u);
        fd = OpenSlave(slave);
        ASSERT_GE(fd, 0) << slave;
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
    }
};

TEST_F(RouterSimTest, AnswersInterrogateAndSet)
{
    Launch({"--protocol", "hbxrcp", "--dests", "32", "--levels", "2", "--preset", "12=5"});
    Write(fd, ".IA12,-\r");
    EXPECT_EQ(Reply(fd), ".AA12,5\r");
    EXPECT_EQ(sim.WaitFor("RX"), "RX .IA12,-");
    EXPECT_EQ(sim.WaitFor("TX"), "TX .AA12,5");

    Write(fd, "xx.SB12,7\r");  // noise before the full stop is skipped
    EXPECT_EQ(Reply(fd), ".AB12,7\r");
    Write(fd, ".IA12,-\r");
    EXPECT_EQ(Reply(fd), ".AA12,5\r") << "levels are separate";
    Write(fd, ".IA40,-\r");  // outside the router: no answer, only a log line
    EXPECT_EQ(sim.WaitFor("BAD"), "BAD level or destination");
    EXPECT_FALSE(Pending(fd));
}

TEST_F(RouterSimTest, LineWithoutAFullStopIsReportedAndTheNextOneServed)
{
    Launch({"--preset", "12=5"});
    Write(fd, "abc\r");
    EXPECT_EQ(sim.WaitFor("RX"), "RX abc");
    EXPECT_EQ(sim.WaitFor("BAD"), "BAD no full stop");
    EXPECT_FALSE(Pending(fd));
    Write(fd, ".IA12,-\r");
    EXPECT_EQ(Reply(fd), ".AA12,5\r");
}

TEST_F(RouterSimTest, SetCommandAnnouncesEveryLevel)
{
    Launch({"--levels", "2", "--identity"});
    sim.Command("set 1 3 9");
    EXPECT_EQ(Reply(fd), ".AA3,9 B3,3\r");
    EXPECT_EQ(sim.WaitFor("OK"), "OK set 1 3 9");
    sim.Command("announce 4");
    EXPECT_EQ(Reply(fd), ".AA4,4 B4,4\r");
    sim.Command("set 9 3 9");
    EXPECT_EQ(sim.WaitFor("ERR"), "ERR set 9 3 9");
}

TEST_F(RouterSimTest, SilentAndGarbage)
{
    Launch({"--preset", "12=5"});
    sim.Command("silent on");
    ASSERT_EQ(sim.WaitFor("OK"), "OK silent on");
    Write(fd, ".IA12,-\r");
    EXPECT_EQ(sim.WaitFor("DROP"), "DROP .AA12,5");
    EXPECT_FALSE(Pending(fd));

    sim.Command("silent off");
    sim.Command("garbage on");
    ASSERT_EQ(sim.WaitFor("OK garbage"), "OK garbage on");
    Write(fd, ".IA12,-\r");
    EXPECT_EQ(sim.WaitFor("NOISE").rfind("NOISE ", 0), 0u);
    std::string noise = Bytes(fd, 8);
    EXPECT_EQ(noise.size(), 8u);
    EXPECT_NE(noise, ".AA12,5\r");
}

// The driver's own HBXRCP code against the simulated router.
TEST_F(RouterSimTest, DriverTakesTheRoutersTally)
{
    Launch({"--dests", "32", "--sources", "16"});
    ResetModules();
    SetDebugSink([](const char *) {});
    UseHbxrcp16x32(1);
    Profile.CommErrorLimit = 1000;
    static int wire = -1;
    wire = fd;
    SetPortTransmitHook([](int, const uint8_t *bytes, int length) {
        ASSERT_EQ(write(wire, bytes, static_cast<size_t>(length)), length);
    });
    RouteDispatch(9, 4);
    for (char c : Reply(fd))
        ReceiveDispatch(1, static_cast<uint8_t>(c));
    EXPECT_EQ(Routing.TallyTable[4], 9);

    ProtocolTable[1]->poll(5);  // never routed: no source
    for (char c : Reply(fd))
        ReceiveDispatch(1, static_cast<uint8_t>(c));
    EXPECT_EQ(Routing.TallyTable[5], -1);
    SetPortTransmitHook(nullptr);
    SetDebugSink(nullptr);
}

TEST_F(RouterSimTest, SurvivesTheDriverClosingAndReopening)
{
    Launch({"--preset", "2=1"});
    Write(fd, ".IA2,-\r");
    EXPECT_EQ(Reply(fd), ".AA2,1\r");
    close(fd);
    EXPECT_EQ(sim.WaitFor("CLOSED"), "CLOSED");
    fd = OpenSlave(slave);
    ASSERT_GE(fd, 0);
    Write(fd, ".IA2,-\r");
    EXPECT_EQ(Reply(fd), ".AA2,1\r");
}

TEST(RouterSim, LinkNamesTheTerminalAndGoesAtTermination)
{
    char dir[] = "/tmp/routersim-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/router1";
    Sim sim;
    ASSERT_TRUE(sim.Start({"--link", link}));
    std::string first = sim.Line(NowMs() + kDeadlineMs);
    ASSERT_EQ(first.rfind("PTY ", 0), 0u);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), first.substr(4));
    ASSERT_FALSE(sim.WaitFor("READY").empty());
    EXPECT_EQ(sim.Stop(), 0);
    struct stat st{};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed";
    rmdir(dir);
}

TEST(RouterSim, RefusesAProtocolItCannotSimulate)
{
    Sim sim;
    ASSERT_TRUE(sim.Start({"--protocol", "XYZ"}));
    EXPECT_EQ(sim.Line(NowMs() + kDeadlineMs), "");  // nothing on the log
    int status = 0;
    ASSERT_EQ(waitpid(sim.pid, &status, 0), sim.pid);
    sim.pid = -1;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(RouterSim, QuitsAtTheEndOfInputOnlyWhenAsked)
{
    Sim sim;
    ASSERT_TRUE(sim.Start({"--stdin-quit"}));
    ASSERT_FALSE(sim.WaitFor("READY").empty());
    close(sim.in);
    sim.in = -1;
    EXPECT_EQ(sim.WaitFor("QUIT"), "QUIT");
}

// A driver's connection to a simulator behind --tcp-listen.
int ConnectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when the far end closes the connection before the deadline.
bool SeesEnd(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, kDeadlineMs) == 1 && read(fd, &c, 1) == 0;
}

TEST(RouterSim, TcpServesOneDriverConnectionAtATime)
{
    Sim sim;
    ASSERT_TRUE(sim.Start({"--tcp-listen", "0", "--preset", "2=1"}));
    std::string first = sim.Line(NowMs() + kDeadlineMs);
    ASSERT_EQ(first.rfind("LISTEN 127.0.0.1:", 0), 0u) << first;
    int port = std::atoi(first.substr(17).c_str());
    ASSERT_GT(port, 0) << "the real port, not the 0 asked for";
    ASSERT_FALSE(sim.WaitFor("READY").empty());

    int a = ConnectTo(port);
    ASSERT_GE(a, 0);
    EXPECT_EQ(sim.WaitFor("OPEN ").rfind("OPEN 127.0.0.1:", 0), 0u);
    Write(a, ".IA2,-\r");
    EXPECT_EQ(Reply(a), ".AA2,1\r");
    int b = ConnectTo(port);
    ASSERT_GE(b, 0);
    EXPECT_EQ(sim.WaitFor("REFUSED").rfind("REFUSED 127.0.0.1:", 0), 0u);
    EXPECT_TRUE(SeesEnd(b)) << "a second driver is turned away";
    close(b);
    sim.Command("set 1 2 3");
    EXPECT_EQ(Reply(a), ".AA2,3\r") << "the first one is still served";

    close(a);
    EXPECT_EQ(sim.WaitFor("CLOSED"), "CLOSED");
    sim.Command("announce 2");
    EXPECT_EQ(sim.WaitFor("DROP"), "DROP .AA2,3") << "nobody to send it to";
    int c = ConnectTo(port);
    ASSERT_GE(c, 0);
    EXPECT_EQ(sim.WaitFor("OPEN ").rfind("OPEN 127.0.0.1:", 0), 0u) << "the next one is taken";
    Write(c, ".IA2,-\r");
    EXPECT_EQ(Reply(c), ".AA2,3\r");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_TRUE(SeesEnd(c));
    close(c);
}

// Exit status of a simulator that is expected to end at once.
int EndsWith(const std::vector<std::string> &args)
{
    Sim sim;
    if (!sim.Start(args))
        return -1;
    int status = 0;
    if (waitpid(sim.pid, &status, 0) != sim.pid)
        return -1;
    sim.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RouterSim, TcpListenRefusals)
{
    int held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(held, 1), 0);
    ASSERT_EQ(getsockname(held, reinterpret_cast<sockaddr *>(&a), &length), 0);
    std::string busy = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    const struct {
        const char *what;
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {"port out of range", {"--tcp-listen", "65536"}, 2},
        {"port not a number", {"--tcp-listen", "localhost:x"}, 2},
        {"no host before the colon", {"--tcp-listen", ":4001"}, 2},
        {"IPv6 without its colon", {"--tcp-listen", "[::1]4001"}, 2},
        {"with a terminal link", {"--tcp-listen", "0", "--link", "/tmp/nowhere"}, 2},
        {"with a device", {"--tcp-listen", "0", "--device", "/dev/null"}, 2},
        {"port in use", {"--tcp-listen", busy}, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(EndsWith(c.args), c.status) << c.what;
    close(held);
}

}  // namespace

namespace {

// The exit status of a simulator that should refuse to start: its log ends
// with nothing on it (a running one is stopped and counts as 0).
int Refused(const std::vector<std::string> &args)
{
    Sim sim;
    if (!sim.Start(args))
        return -1;
    std::string line = sim.Line(NowMs() + 2000);
    EXPECT_EQ(line, "") << "it started";
    return sim.Stop();
}

std::string LinkOf(const std::string &link)
{
    char target[256] = {};
    return readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

}  // namespace

// A link that leads somewhere (perhaps a running driver's line) is replaced
// only with --force, and put back when the simulator ends; a dangling one
// is a dead simulator's and is simply replaced.
TEST(RouterSim, LiveLinkNeedsForceAndIsRestored)
{
    TempRoot dir;
    std::string device = dir.File("device"), link = dir.File("router1");
    WriteTextFile(device, "");
    ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0);
    EXPECT_EQ(Refused({"--link", link}), 1);
    EXPECT_EQ(LinkOf(link), device);
    {
        Sim sim;
        ASSERT_TRUE(sim.Start({"--link", link, "--force"}));
        std::string first = sim.Line(NowMs() + kDeadlineMs);
        ASSERT_EQ(first.rfind("PTY ", 0), 0u) << first;
        EXPECT_EQ(LinkOf(link), first.substr(4));
        ASSERT_FALSE(sim.WaitFor("READY").empty());
        EXPECT_EQ(sim.Stop(), 0);
    }
    EXPECT_EQ(LinkOf(link), device) << "the old link is back";
    unlink(link.c_str());
    ASSERT_EQ(symlink(dir.File("gone").c_str(), link.c_str()), 0);
    Sim sim;
    ASSERT_TRUE(sim.Start({"--link", link}));
    EXPECT_EQ(sim.Line(NowMs() + kDeadlineMs).rfind("PTY ", 0), 0u);
    ASSERT_FALSE(sim.WaitFor("READY").empty());
    EXPECT_EQ(sim.Stop(), 0);
    struct stat st{};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "nothing to restore: removed";
}

// A line that another program holds (the driver's flock) is not touched.
TEST(RouterSim, DeviceHeldByTheDriverIsRefused)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    int held = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    termios before{}, after{};
    tcgetattr(held, &before);
    EXPECT_EQ(Refused({"--device", slave, "--speed", "9600"}), 1);
    tcgetattr(held, &after);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << "the line was reprogrammed";
    close(held);
    close(master);
}
