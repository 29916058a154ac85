// The whole way with real processes: vek, an HBXRCP router on a
// pseudo-terminal and the driver.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <sstream>

#include "tests/support/system.h"

namespace {

const char kProfile[] =
    "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
    "[WEX]\nInitTallyDelay=20\nTallyDelay=100\nCommErrorLimit=3\n"
    "[Com_1]\nPort=1\nMinDest=1\nMaxDest=32\nProtocol=HBXRCP\nSpeed=38400\n";

// Starts the site and waits for the end of the start-up sweep.
void StartSite(Site &s)
{
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(s.StartRouter(1, "HBXRCP", 16, 32, {"--identity"}));
    s.WriteProfile(7, kProfile);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    // The sweep interrogates every destination and ends with 32 revertives.
    ASSERT_TRUE(s.WaitVek("code=2187", 32)) << s.VekLog() << s.DriverErrors();
    // The answer to the last interrogate comes after the sweep's report, when
    // commands are taken: destination 32 lies beyond the router's sources.
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 032 -01\"")) << s.VekLog();
}

}  // namespace

TEST(EndToEndHbxrcp, SweepRouteRevertiveAndSavedTallies)
{
    Site s;
    StartSite(s);
    std::string router = s.RouterLog(1);
    for (int d = 1; d <= 32; ++d)
        EXPECT_NE(router.find("RX .IA" + std::to_string(d) + ",-\n"), std::string::npos) << d;
    EXPECT_NE(s.VekLog().find("text=\"RR 007 012 012\""), std::string::npos);
    // Beyond the 16 sources the router knows no crosspoint: no source.
    EXPECT_NE(s.VekLog().find("text=\"RR 007 032 -01\""), std::string::npos);
    // Commands are accepted now: the route goes on the wire and comes back.
    s.Vek("cmd 7 RC 7 5 12 ',---' 0");
    ASSERT_TRUE(s.WaitRouter(1, "RX .SA12,5")) << s.RouterLog(1);
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 012 005\"")) << s.VekLog();
    // A clean shutdown saves the tallies: destination 12 at offset 22.
    EXPECT_EQ(s.StopDriver(), 0) << s.DriverErrors();
    auto dat = ReadBinaryFile(s.Path("DEV_007.DAT"));
    ASSERT_EQ(dat.size(), 16384u);
    EXPECT_EQ(dat[22], 0);
    EXPECT_EQ(dat[23], 5);
    EXPECT_EQ(dat[0], 0);
    EXPECT_EQ(dat[1], 1);
    EXPECT_EQ(ReadBinaryFile(s.Path("DEV_007.LCK")).size(), 4096u);
    EXPECT_TRUE(s.WaitVek("code=2186"));  // deregistered
}

TEST(EndToEndHbxrcp, SilentRouterFailsAndRecovers)
{
    Site s;
    StartSite(s);
    s.Router(1, "silent on");
    ASSERT_TRUE(s.WaitDriverErrors("007 WEX 1 - Comms fail on port 1")) << s.DriverErrors();
    s.Router(1, "silent off");
    ASSERT_TRUE(s.WaitDriverErrors("007 WEX 1 - Comms ok on port 1")) << s.DriverErrors();
    EXPECT_EQ(s.StopDriver(), 0);
}

TEST(EndToEndHbxrcp, PanelChangeOnTheRouterIsReported)
{
    Site s;
    StartSite(s);
    s.Router(1, "set 1 7 3");
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 007 003\"")) << s.VekLog();
    EXPECT_EQ(s.StopDriver(), 0);
}

namespace {

// CPU time (user + system) of a process in clock ticks.
long CpuTicks(pid_t pid)
{
    std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

}  // namespace

TEST(EndToEndHbxrcp, RouterHangUpFailsThePortWithoutSpinning)
{
    Site s;
    StartSite(s);
    // The router's end of the line goes away: the driver's side hangs up.
    ChildStop(&s.routers[1]);
    ASSERT_TRUE(s.WaitDriverErrors("Comms fail on port 1")) << s.DriverErrors();
    pid_t pid = s.Driver().pid;
    long before = CpuTicks(pid);
    auto start = std::chrono::steady_clock::now();
    // Let it poll the dead line for a while (the poll period is 100 ms).
    ASSERT_TRUE(WaitFor([&] { return CountOccurrences(s.DriverErrors(), "Comms fail on port 1") >= 8; }));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = static_cast<double>(CpuTicks(pid) - before) / static_cast<double>(sysconf(_SC_CLK_TCK));
    EXPECT_LT(cpu, 0.2 * seconds + 0.05) << cpu << " s of CPU in " << seconds << " s";
    EXPECT_EQ(s.StopDriver(), 0);
}
