// Lost lines that come back, with real processes: an HBXRCP router behind a
// serial device server (the driver's COM1 is tcp:127.0.0.1:PORT) that goes
// away and returns on the same port, and a router on a pseudo-terminal
// whose link is removed and made again by a new router.  Each time the
// driver reports the port failed, goes on serving the control system,
// gets the line back by itself and reports the next tally.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/system.h"

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
bool StartSim(Site &s, int com, const std::string &name, const std::vector<std::string> &line)
{
    std::vector<std::string> argv = {ROUTERSIM_BIN, "--protocol", "HBXRCP", "--sources", "16",
                                     "--dests", "32", "--identity"};
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

// Comms event lines of port 1 so far.
struct PortEvents {
    size_t fails, oks;
};

PortEvents EventsSoFar(Site &s)
{
    std::string errors = s.DriverErrors();
    return {CountOccurrences(errors, "007 WEX 1 - Comms fail on port 1"),
            CountOccurrences(errors, "007 WEX 1 - Comms ok on port 1")};
}

// The router has gone: the port is reported failed, and the driver still
// answers vek: a mode query, a tally asked by message (destination 12 was
// routed to source 5 before) and a tally report command.
void ExpectFailedButServing(Site &s, PortEvents before)
{
    ASSERT_TRUE(WaitFor([&] { return EventsSoFar(s).fails > before.fails; }, kRecoverMs))
        << s.DriverErrors();
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
