// Lost lines that come back, with real processes: an HBXRCP router behind a
// serial device server (the driver's COM1 is tcp:127.0.0.1:PORT) that goes
// away and returns on the same port, and a router on a pseudo-terminal
// whose link is removed and made again by a new router.  Each time the
// driver reports the port failed, goes on serving the control system,
// gets the line back by itself and reports the next tally.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/system.h"
#include "tests/support/tallies.h"

namespace {

const char kProfile[] =
    "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
    "[WEX]\nInitTallyDelay=20\nTallyDelay=100\nCommErrorLimit=3\n"
    "[Com_1]\nPort=1\nMinDest=1\nMaxDest=32\nProtocol=HBXRCP\nSpeed=38400\n";

// Reconnection backs off (1 s, 2 s, 4 s ... after the loss): a router that
// is back is normally found within a second or two, but a slow machine may
// have let the wait grow meanwhile.
constexpr int kRecoverMs = 40000;

// Starts an HBXRCP router (16 sources, 32 destinations, destination d on
// source d) for COM com, logging under name; waits for READY.
bool StartSim(Site &s, int com, const std::string &name, const std::vector<std::string> &line,
              int dests = 32)
{
    std::vector<std::string> argv = {ROUTERSIM_BIN, "--protocol", "HBXRCP", "--sources", "16",
                                     "--dests", std::to_string(dests), "--identity"};
    argv.insert(argv.end(), line.begin(), line.end());
    Child &c = s.routers[com];
    return StartChild(&c, argv, {}, s.root.dir, name) && WaitForOutput(c, "READY", 10000);
}

// The port a --tcp-listen router got, from its "LISTEN 127.0.0.1:PORT" line.
std::string ListeningPort(Site &s, int com)
{
    const std::string tag = "LISTEN 127.0.0.1:";
    std::string log = s.RouterLog(com);
    size_t at = log.find(tag);
    if (at == std::string::npos)
        return "";
    size_t end = log.find('\n', at);
    return log.substr(at + tag.size(), end - at - tag.size());
}

// vek, the driver on device 7, and the end of the start-up sweep; the
// router is already running and named in the paths file.
void StartDriverAndSweep(Site &s)
{
    s.WriteProfile(7, kProfile);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    // The sweep interrogates every destination; the driver takes commands
    // from the tick that polls the last one, so its answer (no source: the
    // router has 16) comes after that.  Counting revertives is not enough:
    // the end of the sweep reports every destination once more.
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 032 -01\"")) << s.VekLog() << s.DriverErrors();
}

// A route goes out on the line and its tally comes back to vek.
void RouteAndSeeTally(Site &s, int source, int dest)
{
    std::string d = std::to_string(dest), src = std::to_string(source);
    char revertive[32];
    std::snprintf(revertive, sizeof revertive, "text=\"RR 007 %03d %03d\"", dest, source);
    s.Vek("cmd 7 RC 7 " + src + " " + d + " ',---' 0");
    ASSERT_TRUE(s.WaitRouter(1, "RX .SA" + d + "," + src, 1, kRecoverMs)) << s.RouterLog(1);
    ASSERT_TRUE(s.WaitVek(revertive, 1, kRecoverMs)) << s.VekLog() << s.DriverErrors();
}

// Comms and link event lines of port 1 so far.
struct PortEvents {
    size_t fails, oks, lost, restored;
};

PortEvents EventsSoFar(Site &s)
{
    std::string errors = s.DriverErrors();
    return {CountOccurrences(errors, "007 WEX 1 - Comms fail on port 1"),
            CountOccurrences(errors, "007 WEX 1 - Comms ok on port 1"),
            CountOccurrences(errors, "007 WEX 1 - Link lost on port 1"),
            CountOccurrences(errors, "007 WEX 1 - Link restored on port 1")};
}

// The router has gone: the port is reported failed, and the driver still
// answers vek: a mode query, a tally asked by message (destination 12 was
// routed to source 5 before) and a tally report command.
void ExpectFailedButServing(Site &s, PortEvents before)
{
    ASSERT_TRUE(WaitFor([&] { return EventsSoFar(s).fails > before.fails; }, kRecoverMs))
        << s.DriverErrors();
    EXPECT_EQ(EventsSoFar(s).lost, before.lost + 1) << s.DriverErrors();
    EXPECT_EQ(EventsSoFar(s).restored, before.restored);
    s.Vek("msg 7 2732");
    EXPECT_TRUE(s.WaitVek("TX code=2732 wparam=0 lparam=0")) << s.VekLog();
    s.Vek("msg 7 2737 12");
    ASSERT_TRUE(s.WaitVek("TX code=2737 wparam=12 lparam=0")) << s.VekLog();
    std::string log = s.VekLog();
    size_t at = log.find("TX code=2737");
    std::string answer = log.substr(at, log.find('\n', at) - at);
    EXPECT_NE(answer.find(" result=5"), std::string::npos) << answer;
    size_t reports = CountOccurrences(s.VekLog(), "text=\"RR 007 012 005\"");
    s.Vek("cmd 7 RP 7 12 12 0");
    EXPECT_TRUE(s.WaitVek("text=\"RR 007 012 005\"", reports + 1)) << s.VekLog();
    EXPECT_TRUE(ChildRunning(&s.Driver()));
}

// The router is back: the port comes back by itself, and the next change
// on the router and the next route are reported.
void ExpectRecovered(Site &s, PortEvents before)
{
    ASSERT_TRUE(s.WaitRouter(1, "OPEN", 1, kRecoverMs)) << s.RouterLog(1) << s.DriverErrors();
    ASSERT_TRUE(WaitFor([&] { return EventsSoFar(s).oks > before.oks; }, kRecoverMs))
        << s.DriverErrors();
    s.Router(1, "set 1 7 3");
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 007 003\"", 1, kRecoverMs)) << s.VekLog() << s.RouterLog(1);
    RouteAndSeeTally(s, 9, 20);
    EXPECT_EQ(s.StopDriver(), 0) << s.DriverErrors();
    // Each change of the link was reported once: lost once, restored once.
    PortEvents after = EventsSoFar(s);
    EXPECT_EQ(after.lost, before.lost + 1) << s.DriverErrors();
    EXPECT_EQ(after.restored, before.restored + 1) << s.DriverErrors();
    EXPECT_EQ(before.lost + before.restored, 0u) << "nothing while the line was up";
}

}  // namespace

TEST(EndToEndDeviceServers, TcpServerStoppedAndRestartedOnTheSamePort)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(StartSim(s, 1, "router1", {"--tcp-listen", "127.0.0.1:0"}));
    std::string port = ListeningPort(s, 1);
    ASSERT_NE(port, "") << s.RouterLog(1);
    ASSERT_NE(port, "0") << "the real port is shown";
    WriteTextFile(s.Path("zolt_config.ini"), "[Serial]\nCOM1=tcp:127.0.0.1:" + port + "\n");
    StartDriverAndSweep(s);
    ASSERT_TRUE(s.WaitRouter(1, "OPEN 127.0.0.1:")) << s.RouterLog(1);
    EXPECT_NE(s.RouterLog(1).find("RX .IA32,-\n"), std::string::npos) << s.RouterLog(1);
    RouteAndSeeTally(s, 5, 12);

    PortEvents before = EventsSoFar(s);
    ChildStop(&s.routers[1]);
    EXPECT_EQ(s.routers[1].exitStatus, 0);
    ExpectFailedButServing(s, before);
    ASSERT_TRUE(StartSim(s, 1, "router1-again", {"--tcp-listen", "127.0.0.1:" + port}))
        << s.RouterLog(1);
    EXPECT_NE(s.RouterLog(1).find("LISTEN 127.0.0.1:" + port + "\n"), std::string::npos);
    ExpectRecovered(s, before);
    EXPECT_EQ(CountOccurrences(s.RouterLog(1), "OPEN "), 1u) << "one connection at a time";
}

TEST(EndToEndDeviceServers, TerminalLinkRemovedAndMadeAgain)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(s.StartRouter(1, "HBXRCP", 16, 32, {"--identity"}));
    StartDriverAndSweep(s);
    RouteAndSeeTally(s, 5, 12);

    PortEvents before = EventsSoFar(s);
    std::string link = s.Path("ttyCOM1");
    ChildStop(&s.routers[1]);
    EXPECT_FALSE(FileExists(link)) << "the router takes its link along";
    ExpectFailedButServing(s, before);
    ASSERT_TRUE(StartSim(s, 1, "router1-again", {"--link", link})) << s.RouterLog(1);
    ExpectRecovered(s, before);
}

namespace {

// A 2000-destination HBXRCP device: the burst below reports every
// destination once and the first 1400 or so twice, so a lost stretch of the
// burst leaves destinations whose only change never arrived.
const char kBurstProfile[] =
    "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=2000\n"
    "[WEX]\nInitTallyDelay=1\nTallyDelay=100\nCommErrorLimit=3\n"
    "[Com_1]\nPort=1\nMinDest=1\nMaxDest=2000\nProtocol=HBXRCP\nSpeed=38400\n";

// The router writes 64 KB of tally lines in one write while the driver's
// main loop is held in a send to a stopped VEK (its 5-second bound).  Once
// VEK runs again every change reaches it, and a report over the whole range
// matches the router.
void BurstWhileTheMainLoopIsHeld(Site &s)
{
    s.WriteProfile(7, kBurstProfile);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(WaitCommandsAccepted(s, 7, 120000)) << s.VekLog() << s.DriverErrors();
    kill(s.vek.pid, SIGSTOP);
    s.Router(1, "set 1 7 3");  // its revertive holds the driver in a send
    ASSERT_TRUE(s.WaitRouter(1, "OK set 1 7 3"));
    s.Router(1, "burst 65536");
    // VEK goes on once the line is full (the driver reads nothing more: the
    // rest waits in the router), or the whole burst is in (a TCP window
    // takes it all).
    WaitFor([&] {
        std::string log = s.RouterLog(1);
        return log.find("BURST waits") != std::string::npos || log.find("OK burst") != std::string::npos;
    }, 20000);
    kill(s.vek.pid, SIGCONT);
    bool burst = s.WaitRouter(1, "OK burst 65536", 1, 40000);
    std::string log = s.RouterLog(1);
    ASSERT_TRUE(burst) << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    ASSERT_NE(s.RouterLog(1).find("\nBURST "), std::string::npos);
    TallyMap router = RouterCrosspoints(s, 1);
    ASSERT_EQ(router.size(), 2000u);
    // Every change reaches vek (the last revertive of each destination is the
    // router's crosspoint) ...
    std::string differ;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    do {
        differ = Differences(LastRevertives(s.VekLog(), 7), router, 1, 2000);
    } while (!differ.empty() && std::chrono::steady_clock::now() < deadline &&
             !WaitFor([] { return false; }, 500));
    EXPECT_EQ(differ.substr(0, 500), "") << s.DriverErrors().substr(0, 2000);
    // ... and the driver's table holds every tally.
    TallyMap reported = ReportedTallies(s, 7, 1, 2000, 77, 60000);
    EXPECT_EQ(Differences(reported, router, 1, 2000).substr(0, 500), "");
    EXPECT_EQ(s.StopDriver(), 0) << s.DriverErrors().substr(0, 2000);
}

// A device server that never stops sending tally changes.  Runs until
// stopped.
struct FloodServer {
    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<long long> sent{0};
    std::thread thread;

    FloodServer()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
        listen(listener, 4);
        port = ntohs(a.sin_port);
        thread = std::thread([this] { Run(); });
    }
    ~FloodServer()
    {
        stop = true;
        thread.join();
        close(listener);
    }
    void Run()
    {
        // Tally lines, each one a change (destination d of 1..32 goes to the
        // next source every round): more work for the driver per byte than
        // the line takes to bring it.
        std::string junk;
        for (int i = 0; junk.size() < 64 * 1024; ++i)
            junk += ".AA" + std::to_string(i % 32 + 1) + "," + std::to_string(i / 32 % 16 + 1) + "\r";
        int conn = -1;
        while (!stop) {
            pollfd p{conn >= 0 ? conn : listener, static_cast<short>(conn >= 0 ? POLLOUT : POLLIN), 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            if (conn < 0) {
                conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                continue;
            }
            ssize_t n = send(conn, junk.data(), junk.size(), MSG_NOSIGNAL);
            if (n > 0)
                sent += n;
            else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                close(conn);
                conn = -1;
            }
        }
        if (conn >= 0)
            close(conn);
    }
};

}  // namespace

TEST(EndToEndDeviceServers, BurstOnTerminalWhileTheMainLoopIsHeld)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(s.StartRouter(1, "HBXRCP", 16, 2000, {"--identity"}));
    BurstWhileTheMainLoopIsHeld(s);
}

TEST(EndToEndDeviceServers, BurstOverDeviceServerWhileTheMainLoopIsHeld)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(StartSim(s, 1, "router1", {"--tcp-listen", "127.0.0.1:0"}, 2000));
    std::string port = ListeningPort(s, 1);
    ASSERT_NE(port, "") << s.RouterLog(1);
    WriteTextFile(s.Path("zolt_config.ini"), "[Serial]\nCOM1=tcp:127.0.0.1:" + port + "\n");
    BurstWhileTheMainLoopIsHeld(s);
}

// A device server that floods the line: the driver still answers the bus
// within the bound, and SIGTERM saves the tables and ends it with status 0
// within 10 s.
TEST(EndToEndDeviceServers, FloodingDeviceServerDoesNotHoldTheDriver)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    FloodServer flood;
    WriteTextFile(s.Path("zolt_config.ini"),
                  "[Serial]\nCOM1=tcp:127.0.0.1:" + std::to_string(flood.port) + "\n");
    s.WriteProfile(7, kProfile);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(WaitFor([&] { return flood.sent.load() > 4 * 1024 * 1024; }, 30000))
        << "the driver reads the flood";
    ASSERT_TRUE(WaitCommandsAccepted(s, 7, 30000)) << s.DriverErrors().substr(0, 2000);
    for (int i = 1; i <= 5; ++i) {
        auto start = std::chrono::steady_clock::now();
        s.Vek("msg 7 2737 " + std::to_string(i));
        ASSERT_TRUE(s.WaitVek("TX code=2737 wparam=" + std::to_string(i) + " ", 1, 5000)) << i;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << i;
    }
    long long before = flood.sent.load();
    ASSERT_TRUE(WaitFor([&] { return flood.sent.load() > before + 1024 * 1024; }, 10000))
        << "still reading";
    unlink(s.Path("DEV_007.DAT").c_str());
    auto start = std::chrono::steady_clock::now();
    kill(s.Driver().pid, SIGTERM);
    bool ended = ChildWait(&s.Driver(), 10000);
    std::string errors = s.DriverErrors();
    ASSERT_TRUE(ended) << "ended within 10 s: " << errors.substr(errors.size() > 1500 ? errors.size() - 1500 : 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(s.Driver().exitStatus, 0);
    EXPECT_EQ(ReadBinaryFile(s.Path("DEV_007.DAT")).size(), 16384u) << "saved at shutdown";
}
