// QUARTZ protocol: literal route and interrogate texts, the line parser fed
// byte by byte, and the comms state.
#include "router_harness.h"

#include <string>
#include <vector>

#include "tools/routersim/sim_quartz.cpp"

using namespace bench;

namespace {

using Sent = SentLine;

constexpr uint8_t kQuartz = 10;
constexpr int32_t kUntouched = 7;  // every tally before a test

class Quartz : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        Profile.DatabaseSize_0 = 100;
        Profile.DatabaseSize_1 = 200;
        std::strcpy(Profile.QuartzLevels, "VAB");
        UsePort(1, kQuartz, 1, 100);
        UsePort(2, kQuartz, 101, 200);
        for (int d = 1; d <= 200; ++d)
            Routing.TallyTable[d] = kUntouched;
    }
    void TearDown() override { Finish(); }
    static void FeedText(int port, const std::string &text)
    {
        Feed(port, std::vector<uint8_t>(text.begin(), text.end()));
    }
};

TEST_F(Quartz, RouteAndPollTexts)
{
    struct Case {
        const char *what;
        const char *levels;
        bool route;
        int32_t source, dest;
        std::vector<Sent> expected;
    } cases[] = {
        {"poll on the first level", "VAB", false, 0, 5, {{1, ".IV5\r"}}},
        {"route on every level", "VAB", true, 12, 5, {{1, ".SVAB5,12\r"}}},
        {"MinDest 101: destination 105 is 5", "VAB", false, 0, 105, {{2, ".IV5\r"}}},
        {"route on port 2", "VAB", true, 3, 150, {{2, ".SVAB50,3\r"}}},
        {"park source", "VAB", true, 0, 1, {{1, ".SVAB1,0\r"}}},
        {"one level", "A", true, 9, 99, {{1, ".SA99,9\r"}}},
        {"seven levels", "ABCDEFG", false, 0, 2, {{1, ".IA2\r"}}},
        {"seven levels route", "ABCDEFG", true, 1, 2, {{1, ".SABCDEFG2,1\r"}}},
        {"no port serves the destination", "VAB", false, 0, 300, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bench::Sent.clear();
        std::strcpy(Profile.QuartzLevels, c.levels);
        if (c.route)
            ProtocolTable[kQuartz]->route(c.source, c.dest);
        else
            ProtocolTable[kQuartz]->poll(c.dest);
        EXPECT_EQ(SentTexts(), c.expected);
    }
}

TEST_F(Quartz, ReplyLines)
{
    struct Case {
        const char *what;
        int port;
        std::string bytes;
        int32_t dest, tally;  // TallyTable[dest] afterwards
        uint32_t revertives;
    } cases[] = {
        {"tally of the first level", 1, ".AV005,0012\r", 5, 12, 1},
        {"update with all levels", 1, ".UVAB005,0012\r", 5, 12, 1},
        {"update: numbers from index 5 whatever the letters", 1, ".UVZZ005,0012\r", 5, 12, 1},
        {"update: only the first letter is compared", 1, ".UAVB005,0012\r", 5, kUntouched, 0},
        {"tally of another level is ignored", 1, ".AA005,0012\r", 5, kUntouched, 0},
        {"MinDest 101: destination 5 is 105", 2, ".AV005,0012\r", 105, 12, 1},
        {"noise before the full stop", 1, "xx#.AV005,0012\r", 5, 12, 1},
        {"a second full stop restarts the line", 1, ".AV0.AV006,0013\r", 6, 13, 1},
        {"invalid source becomes -1", 1, ".AV005,0500\r", 5, -1, 1},
        {"park source", 1, ".AV005,0000\r", 5, 0, 1},
        {"destination beyond the count", 2, ".AV150,0012\r", 250, 0, 0},
        {"same tally as before", 1, ".AV005,0007\r", 5, kUntouched, 0},
        {"other message kinds", 1, ".IV005,0012\r", 5, kUntouched, 0},
        {"short numbers", 1, ".AV5,12\r", 5, 12, 1},
        {"a source that is not a number", 1, ".AV005,xyz\r", 5, kUntouched, 0},
        {"a line without a full stop", 1, "AV005,0012\r", 5, kUntouched, 0},
        {"no CR, no tally", 1, ".AV005,0012", 5, kUntouched, 0},
        {"an overlong line wraps and is dropped", 1, ".AV005,0012" + std::string(300, '9') + "\r",
         5, kUntouched, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        FeedText(c.port, c.bytes);
        EXPECT_EQ(Routing.TallyTable[c.dest], c.tally);
        EXPECT_EQ(RevertiveCounter, c.revertives);
        EXPECT_EQ(Ports.ErrorCount[c.port], 0u);  // bad replies are never counted
        TearDown();
    }
}

TEST_F(Quartz, SameReplyTwiceReportsOnce)
{
    FeedText(1, ".AV005,0012\r.AV005,0012\r");
    EXPECT_EQ(Routing.TallyTable[5], 12);
    EXPECT_EQ(RevertiveCounter, 1u);
}

// A short update must not pick its numbers out of the line before it.
TEST_F(Quartz, ShortUpdateReadsNothingStale)
{
    FeedText(1, ".AV005,0012\r");
    Routing.TallyTable[5] = kUntouched;
    FeedText(1, ".UV\r");
    EXPECT_EQ(Routing.TallyTable[5], kUntouched);
}

TEST_F(Quartz, RevertiveDelayPendsTheTally)
{
    Profile.RevertiveDelay = 500;
    FeedText(1, ".UVAB005,0012\r");
    EXPECT_EQ(Routing.TallyTable[5], kUntouched);
    EXPECT_EQ(Routing.PendingTable[5], 12);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(Quartz, OnlyTheFullStopIsASignOfLife)
{
    Ports.NoReply[1] = 4;
    FeedText(1, "AV005");
    EXPECT_EQ(Ports.NoReply[1], 4);
    Ports.CommsFail[1] = 1;
    FeedText(1, ".");
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u);  // the "ok" report counts
}

}  // namespace

// ---- With the simulated router ----

namespace {

std::string SimText() { return std::string(SimOutput.begin(), SimOutput.end()); }

TEST_F(Quartz, SimulatedRouterAnswersPollsAndRoutes)
{
    SimRouter r = MakeRouter(100, 200, 1);
    SimSetXpt(r, 0, 5, 12);
    ProtocolTable[kQuartz]->poll(5);
    Exchange(SimQuartz, r, 1);
    EXPECT_EQ(Routing.TallyTable[5], 12);
    ProtocolTable[kQuartz]->route(3, 5);
    Exchange(SimQuartz, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 5), 3);
    EXPECT_EQ(Routing.TallyTable[5], 3);
    SimQuartz.announce(r, 9);  // unknown crosspoint: reported as source 0
    FeedText(1, SimText());
    EXPECT_EQ(Routing.TallyTable[9], 0);
}

TEST_F(Quartz, SimulatedRouterBehindASecondPort)
{
    SimRouter r = MakeRouter(100, 200, 101);
    SimSetXpt(r, 0, 105, 4);
    ProtocolTable[kQuartz]->poll(105);
    Exchange(SimQuartz, r, 2);
    EXPECT_EQ(Routing.TallyTable[105], 4);
}

TEST_F(Quartz, SimulatedRouterLines)
{
    SimRouter r = MakeRouter(100, 200, 1);
    SimSetXpt(r, 0, 5, 12);
    for (char c : std::string("junk.IV5\r"))
        SimQuartz.byte(r, static_cast<uint8_t>(c));
    EXPECT_EQ(SimText(), ".AV005,0012\r");
    SimOutput.clear();
    for (char c : std::string(".SVAB5,7\r"))
        SimQuartz.byte(r, static_cast<uint8_t>(c));
    EXPECT_EQ(SimText(), ".UVAB005,0007\r");
    SimOutput.clear();
    for (char c : std::string(".IQ5\r.IV999\r.SVAB5\r"))
        SimQuartz.byte(r, static_cast<uint8_t>(c));
    EXPECT_TRUE(SimOutput.empty());  // unknown level, no such destination, no source
}

}  // namespace
