// SONY protocol: literal frames for route and poll, the tally parser fed
// byte by byte, checksums, comms state and error counts.
#include "router_harness.h"

#include <algorithm>

#include "tools/routersim/sim_sony.cpp"

using namespace bench;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSony = 16;
constexpr int32_t kUntouched = 7;  // every tally before a test

class Sony : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        Profile.DatabaseSize_0 = 100;
        Profile.DatabaseSize_1 = 200;
        Profile.SonyAddress = 1;
        UsePort(1, kSony, 1, 100);
        UsePort(2, kSony, 101, 200);
        for (int d = 1; d <= 200; ++d)
            Routing.TallyTable[d] = kUntouched;
    }
    void TearDown() override { Finish(); }
};

const Bytes kPoll1 = {0x02, 0x05, 0x31, 0x01, 0x01, 0x62, 0x01, 0x65};

TEST_F(Sony, RouteAndPollFrames)
{
    struct Case {
        const char *what;
        int32_t address;
        bool route;
        int32_t source, dest;
        std::vector<Frame> expected;
    } cases[] = {
        {"poll destination 1", 1, false, 0, 1, {{1, kPoll1}}},
        {"route 3 to 1 is followed by a poll", 1, true, 3, 1,
         {{1, {0x02, 0x06, 0x31, 0x01, 0x01, 0x22, 0x03, 0x01, 0xA1}}, {1, kPoll1}}},
        {"address 5, poll destination 16", 5, false, 0, 16,
         {{1, {0x02, 0x05, 0x31, 0x05, 0x01, 0x62, 0x10, 0x52}}}},
        {"MinDest 101: destination 101 is wire 1 on port 2", 1, false, 0, 101, {{2, kPoll1}}},
        {"park source goes out as 0", 1, true, 0, 1,
         {{1, {0x02, 0x06, 0x31, 0x01, 0x01, 0x22, 0x00, 0x01, 0xA4}}, {1, kPoll1}}},
        {"address above 127 keeps its low 8 bits", 128, false, 0, 1,
         {{1, {0x02, 0x05, 0x31, 0x80, 0x01, 0x62, 0x01, 0xE6}}}},
        {"a destination no port serves sends nothing", 1, false, 0, 300, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Sent.clear();
        Profile.SonyAddress = c.address;
        if (c.route)
            ProtocolTable[kSony]->route(c.source, c.dest);
        else
            ProtocolTable[kSony]->poll(c.dest);
        EXPECT_EQ(Sent, c.expected);
    }
}

TEST_F(Sony, NumbersBeyondSevenBitsAreNotSent)
{
    UsePort(1, kSony, 1, 200);
    Profile.DatabaseSize_0 = 200;
    ProtocolTable[kSony]->poll(128);         // wire 128 would go out as 0
    ProtocolTable[kSony]->route(130, 5);     // source 130 would go out as 2
    ProtocolTable[kSony]->route(3, 128);
    EXPECT_TRUE(Sent.empty());
    ProtocolTable[kSony]->poll(127);
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0].bytes[6], 0x7F);
}

TEST_F(Sony, TallyFrames)
{
    struct Case {
        const char *what;
        int port;
        Bytes bytes;
        int32_t dest, tally;  // TallyTable[dest] afterwards
        uint32_t errors, revertives;
    } cases[] = {
        {"tally of destination 1", 1, {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51}, 1, 3, 0, 1},
        {"wrong checksum", 1, {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x52}, 1, kUntouched, 1, 0},
        {"MinDest 101: wire 1 is destination 101", 2,
         {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51}, 101, 3, 0, 1},
        {"0x02 as source inside the frame is data", 1,
         {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x02, 0x01, 0x52}, 1, 2, 0, 1},
        {"0x02 as destination inside the frame is data", 1,
         {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x02, 0x50}, 2, 3, 0, 1},
        {"bytes 2 to 4 are not examined", 1,
         {0x02, 0x06, 0x00, 0x09, 0x00, 0x72, 0x03, 0x01, 0x7B}, 1, 3, 0, 1},
        {"noise before the frame", 1,
         {0x55, 0xAA, 0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51}, 1, 3, 0, 1},
        {"an interrogate from the router counts an error", 1,
         {0x02, 0x05, 0x31, 0x01, 0x01, 0x62, 0x01, 0x65}, 1, kUntouched, 1, 0},
        {"invalid source becomes -1", 1,
         {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x7F, 0x01, 0xD5}, 1, -1, 0, 1},
        {"destination beyond the count is dropped silently", 2,
         {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x7F, 0xD3}, 101, kUntouched, 0, 0},
        {"unchanged tally sends nothing", 1,
         {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x07, 0x01, 0x4D}, 1, kUntouched, 0, 0},
        {"a frame longer than 17 bytes is dropped", 1,
         {0x02, 0x0F, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51, 0x11, 0x11, 0x11, 0x11, 0x11,
          0x11, 0x11, 0x11},
         1, kUntouched, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Feed(c.port, c.bytes);
        EXPECT_EQ(Routing.TallyTable[c.dest], c.tally);
        EXPECT_EQ(Ports.ErrorCount[c.port], c.errors);
        EXPECT_EQ(RevertiveCounter, c.revertives);
        TearDown();
    }
}

TEST_F(Sony, SameTallyTwiceReportsOnce)
{
    const Bytes tally = {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51};
    Feed(1, tally);
    Feed(1, tally);
    EXPECT_EQ(Routing.TallyTable[1], 3);
    EXPECT_EQ(RevertiveCounter, 1u);
}

TEST_F(Sony, RevertiveDelayPendsTheTally)
{
    Profile.RevertiveDelay = 500;
    Feed(1, {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51});
    EXPECT_EQ(Routing.TallyTable[1], kUntouched);
    EXPECT_EQ(Routing.PendingTable[1], 3);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(Sony, AFrameAfterAnOverlongOneIsTaken)
{
    Feed(1, {0x02, 0x0F, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51, 0x11, 0x11, 0x11, 0x11, 0x11,
             0x11, 0x11, 0x11});
    Feed(1, {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x04, 0x01, 0x50});
    EXPECT_EQ(Routing.TallyTable[1], 4);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}

TEST_F(Sony, StartByteBringsAFailedPortBack)
{
    Ports.CommsFail[1] = 1;
    Ports.NoReply[1] = 9;
    Feed(1, {0x02});
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u);  // the "ok" report counts
    EXPECT_EQ(Ports.NoReply[1], 0);
}

TEST_F(Sony, AnyByteClearsTheNoReplyCount)
{
    Ports.NoReply[1] = 4;
    Feed(1, {0x55});
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Ports.CommsFail[1], 0);
}

// Each port keeps its own frame: a tally arriving on port 2 while port 1 is
// in the middle of one does not cut either.
TEST_F(Sony, TwoPortsReceivingAtOnce)
{
    Feed(1, {0x02, 0x06, 0x31, 0x01});
    Feed(2, {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x05, 0x02, 0x4E});
    Feed(1, {0x01, 0x72, 0x03, 0x01, 0x51});
    EXPECT_EQ(Routing.TallyTable[1], 3);
    EXPECT_EQ(Routing.TallyTable[102], 5);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
    EXPECT_EQ(Ports.ErrorCount[2], 0u);
}

TEST_F(Sony, DiagnosticLines)
{
    ProtocolTable[kSony]->route(3, 1);
    EXPECT_TRUE(HasDebug("(Sony)Router Connect 3 1"));
    EXPECT_TRUE(HasDebug("Checksum should be a1 161"));
    EXPECT_TRUE(HasDebug("Checksum should be 65 101"));
    Events.clear();
    Feed(1, {0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51});
    EXPECT_TRUE(HasDebug("(0) - 02 '\x02'"));
    EXPECT_TRUE(HasDebug(">>> 1 2"));
    EXPECT_TRUE(HasDebug("CheckSum is 51, 81"));
    EXPECT_NE(std::find(Events.begin(), Events.end(), "DBG [Port 1] Rx 02 06 31 01 01 72"),
              Events.end());
    EXPECT_TRUE(HasDebug("TALLY"));
    EXPECT_TRUE(HasDebug("Dest valid"));
    EXPECT_TRUE(HasDebug("UPDATING"));
}

}  // namespace

// ---- With the simulated router ----

namespace {

TEST_F(Sony, SimulatedRouterAnswersPollsAndRoutes)
{
    SimRouter r = MakeRouter(100, 200, 1);
    SimSetXpt(r, 0, 5, 9);
    ProtocolTable[kSony]->poll(5);
    Exchange(SimSony, r, 1);
    EXPECT_EQ(Routing.TallyTable[5], 9);
    ProtocolTable[kSony]->route(12, 5);
    Exchange(SimSony, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 5), 12);
    EXPECT_EQ(Routing.TallyTable[5], 12);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}

TEST_F(Sony, SimulatedRouterBehindASecondPort)
{
    SimRouter r = MakeRouter(100, 200, 101);
    SimSetXpt(r, 0, 105, 3);
    ProtocolTable[kSony]->poll(105);
    EXPECT_EQ(Sent.at(0).bytes, Bytes({0x02, 0x05, 0x31, 0x01, 0x01, 0x62, 0x05, 0x61}));
    Exchange(SimSony, r, 2);
    EXPECT_EQ(Routing.TallyTable[105], 3);
}

TEST_F(Sony, SimulatedRouterFrames)
{
    SimRouter r = MakeRouter(100, 200, 1);
    SimSetXpt(r, 0, 1, 3);
    for (uint8_t b : Bytes{0x02, 0x05, 0x31, 0x01, 0x01, 0x62, 0x01, 0x65})
        SimSony.byte(r, b);
    EXPECT_EQ(SimOutput, Bytes({0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x03, 0x01, 0x51}));
    SimOutput.clear();
    SimSony.announce(r, 2);  // unknown crosspoint: reported as source 0
    EXPECT_EQ(SimOutput, Bytes({0x02, 0x06, 0x31, 0x01, 0x01, 0x72, 0x00, 0x02, 0x53}));
    SimOutput.clear();
    for (uint8_t b : Bytes{0x02, 0x05, 0x31, 0x01, 0x01, 0x62, 0x01, 0x66})
        SimSony.byte(r, b);
    EXPECT_TRUE(SimOutput.empty());
    EXPECT_EQ(SimLines.back(), "BAD checksum");
    r.options = {"address=5"};
    for (uint8_t b : Bytes{0x02, 0x05, 0x31, 0x01, 0x01, 0x62, 0x01, 0x65})
        SimSony.byte(r, b);
    EXPECT_TRUE(SimOutput.empty());  // another unit's frame
}

}  // namespace
