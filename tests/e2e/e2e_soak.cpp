// A short soak: random route commands at a steady rate into a driver with
// two routers, while the routers now and then fall silent or send noise.
// At the end every account of the tallies (the revertives vek was sent, an
// RQ report, DEV_007.DAT after shutdown) must match the routers, every
// valid command must have reached its router, and the driver's memory must
// not have grown without bound.  scripts/soak is the long version.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "tests/support/system.h"
#include "tests/support/tallies.h"

namespace {

const char kProfile[] =
    "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
    "[WEX]\nInitTallyDelay=20\nTallyDelay=100\nCommErrorLimit=3\n"
    "[Com_1]\nPort=1\nMinDest=1\nMaxDest=16\nProtocol=HBXRCP\nSpeed=38400\n"
    "[Com_2]\nPort=2\nMinDest=17\nMaxDest=32\nProtocol=PROBEL\nSpeed=38400\n";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kRssGrowthLimitKb = 64 * 1024;  // sanitizers keep freed memory aside
#else
constexpr long kRssGrowthLimitKb = 4 * 1024;
#endif

int SoakSeconds()
{
    const char *text = std::getenv("WEX_SOAK_SECONDS");
    int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 12;
}

// One command: mostly valid routes, some that the driver must refuse.
std::string RandomCommand(std::mt19937 &random, bool *valid)
{
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    int device = 7, source = pick(1, 16), dest = pick(1, 32), workstation = pick(0, 5);
    *valid = pick(1, 20) != 1;
    if (!*valid) {
        switch (pick(0, 3)) {
        case 0: dest = pick(33, 40); break;
        case 1: source = pick(17, 20); break;
        case 2: device = 8; break;
        default: workstation = 1001; break;
        }
    }
    return "cmd 7 RC " + std::to_string(device) + " " + std::to_string(source) + " " + std::to_string(dest) +
           " ',---' " + std::to_string(workstation);
}

// Faults in turn, each on for a second of every two: noise on COM1,
// silence on COM2, silence on COM1, noise on COM2.
void StepFaults(Site &s, int tick)
{
    static const int com[4] = {1, 2, 1, 2};
    static const char *kind[4] = {"garbage", "silent", "silent", "garbage"};
    int which = (tick / 2) % 4;
    s.Router(com[which], std::string(kind[which]) + (tick % 2 == 0 ? " on" : " off"));
}

}  // namespace

TEST(EndToEndSoak, RandomRoutesWithFaultsEndConsistent)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(s.StartRouter(1, "HBXRCP", 16, 16, {"--identity"}));
    ASSERT_TRUE(s.StartRouter(2, "PROBEL", 16, 32, {"--min-dest", "17", "--identity"}));
    s.WriteProfile(7, kProfile);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(WaitCommandsAccepted(s, 7)) << s.VekLog() << s.DriverErrors();
    pid_t pid = s.Driver().pid;
    long rssStart = ResidentKb(pid);
    size_t delivered = CountOccurrences(s.VekLog(), "TX code=2074 ");

    std::mt19937 random(4242);
    size_t sent = 0, valid = 0;
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::seconds(SoakSeconds());
    int faultTick = -1;
    while (std::chrono::steady_clock::now() < end) {
        int tick = static_cast<int>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count());
        if (tick != faultTick)
            StepFaults(s, faultTick = tick);
        bool ok = false;
        s.Vek(RandomCommand(random, &ok));
        ++sent;
        valid += ok ? 1 : 0;
        // The rate of the traffic, not a wait for anything.
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    for (int com : {1, 2})
        for (const char *off : {"garbage off", "silent off"})
            s.Router(com, off);
    ASSERT_TRUE(s.WaitVek("TX code=2074 ", delivered + sent, 30000)) << "not every command was delivered";
    for (int com : {1, 2})
        ASSERT_TRUE(s.WaitRouter(com, "OK silent off"));

    // Every port polls its whole range again, then the accounts are compared.
    size_t mark1 = RouterLines(s, 1, "TX "), mark2 = RouterLines(s, 2, "TX ");
    ASSERT_TRUE(WaitRouterReplies(s, 1, mark1, 18));
    ASSERT_TRUE(WaitRouterReplies(s, 2, mark2, 18));
    TallyMap router = RouterCrosspoints(s, 1);
    for (auto [d, src] : RouterCrosspoints(s, 2))
        if (d >= 17)
            router[d] = src;
    ASSERT_EQ(router.size(), 32u);
    size_t routed = RouterLines(s, 1, "RX .SA") + RouterLines(s, 2, "RX ff 02 ");
    std::string revertiveDiff = Differences(LastRevertives(s.VekLog(), 7), router, 1, 32);
    TallyMap reported = ReportedTallies(s, 7, 1, 32, 500);
    long rssEnd = ResidentKb(pid);
    ASSERT_EQ(s.StopDriver(), 0) << s.DriverErrors();
    std::string reportDiff = Differences(reported, router, 1, 32);
    std::string storedDiff = Differences(StoredTallies(s.Path("DEV_007.DAT"), 1, 32), router, 1, 32);

    std::printf("soak: %zu commands sent (%zu valid), %zu routed, 3 x 32 tallies compared, "
                "RSS %ld kB -> %ld kB\n",
                sent, valid, routed, rssStart, rssEnd);
    EXPECT_EQ(routed, valid) << "every valid route reaches its router, no refused one does";
    EXPECT_EQ(revertiveDiff, "") << "last revertive per destination";
    EXPECT_EQ(reportDiff, "") << "RQ report";
    EXPECT_EQ(storedDiff, "") << "DEV_007.DAT";
    ASSERT_GT(rssStart, 0);
    EXPECT_LT(rssEnd - rssStart, kRssGrowthLimitKb);
    EXPECT_GT(CountOccurrences(s.DriverErrors(), "Comms fail on port"), 0u) << "the faults were felt";
}
