// BTSASCII: the ZW999/ZR/ZS frames, the immediate revertive for a route the
// router already has, read replies taken from the "Z" on, comms state, and
// a round trip with the simulated router.
#include "router_harness.h"

#include "tools/routersim/sim_btsascii.cpp"

using namespace bench;

namespace {

constexpr uint8_t kBts = 9;

struct BtsasciiTest : ::testing::Test {
    void SetUp() override { Start(1); }
    void TearDown() override { Finish(); }
    // 16 sources, 300 destinations; port 1 serves 100 from minDest on.
    static void Start(int32_t minDest)
    {
        Reset();
        Profile.DatabaseSize_0 = 16;
        Profile.DatabaseSize_1 = 300;
        UsePort(1, kBts, minDest, minDest + 99);
    }
};

}  // namespace

TEST_F(BtsasciiTest, ReadsAndTheCycleStart)
{
    ProtocolTable[kBts]->poll(1);
    ProtocolTable[kBts]->poll(6);
    EXPECT_EQ(Sent, TextFrames({"ZW999\r", "ZR000\r", "ZR005\r"}));

    Start(101);
    ProtocolTable[kBts]->poll(101);
    ProtocolTable[kBts]->poll(200);
    EXPECT_EQ(Sent, TextFrames({"ZW999\r", "ZR000\r", "ZR099\r"}));
}

TEST_F(BtsasciiTest, SetFrames)
{
    RouteDispatch(13, 6);
    RouteDispatch(1, 1);
    EXPECT_EQ(Sent, TextFrames({"ZS005012\r", "ZS000000\r"}));
    EXPECT_EQ(Routing.TallyTable[6], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
}

// Three-digit fields: a wider number would be read as its first three
// digits, another crosspoint, so it is not sent.
TEST_F(BtsasciiTest, NumbersPastThreeDigitsAreNotSent)
{
    UsePort(1, kBts, 1, 1200);
    Profile.DatabaseSize_0 = 1200;
    Profile.DatabaseSize_1 = 1200;
    ProtocolTable[kBts]->poll(1001);
    RouteDispatch(5, 1001);
    RouteDispatch(1001, 6);
    EXPECT_TRUE(Sent.empty());
    ProtocolTable[kBts]->poll(1000);
    RouteDispatch(1000, 1000);
    EXPECT_EQ(Sent, TextFrames({"ZR999\r", "ZS999999\r"}));
}

TEST_F(BtsasciiTest, RouteTheRouterAlreadyHasIsReportedAtOnceAndStillSent)
{
    Routing.TallyTable[6] = 13;
    RouteDispatch(13, 6);
    EXPECT_EQ(RevertiveCounter, 1u);
    if (ZoltDelivers) {
        EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 006 013"});
    }
    EXPECT_EQ(Sent, TextFrames({"ZS005012\r"}));
}

TEST_F(BtsasciiTest, ReceivedLines)
{
    struct Case {
        const char *what;
        int32_t minDest;
        const char *bytes;
        int32_t dest, tally;  // TallyTable[dest] afterwards
    };
    const Case cases[] = {
        {"read reply", 1, "ZR005012\r", 6, 13},
        {"read reply, MinDest 101", 101, "ZR005012\r", 106, 13},
        {"characters before the Z", 1, "abcZR005012\r", 6, 13},
        {"leftover line before", 1, "junk\rZR005012\r", 6, 13},
        {"short source field", 1, "ZR0053\r", 6, 4},
        {"source past the device", 1, "ZR005999\r", 6, -1},
        {"source missing", 1, "ZR005\r", 6, -1},
        {"source -01 is parking", 1, "ZR005-01\r", 6, 0},
        {"source below parking", 1, "ZR005-02\r", 6, -1},
        {"source field with no digit", 1, "ZR005---\r", 6, -1},
        {"negative destination", 11, "ZR-01003\r", 10, 0},
        {"destination past the device", 250, "ZR099003\r", 349, 0},
        {"acknowledgement", 1, "ZY\r", 1, 0},
        {"unknown line", 1, "ZQ005012\r", 6, 0},
        {"lower case r", 1, "Zr005012\r", 6, 0},
        {"no CR", 1, "ZR005012", 6, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.minDest);
        Feed(1, Text(c.bytes));
        EXPECT_EQ(Routing.TallyTable[c.dest], c.tally);
        EXPECT_EQ(RevertiveCounter, c.tally != 0 ? 1u : 0u);
        EXPECT_EQ(Ports.ErrorCount[1], 0u);  // unknown lines are not counted
    }
}

// A router echoing a parked output sends the wire source -1: source 0.
TEST_F(BtsasciiTest, RouterEchoingAPark)
{
    Routing.TallyTable[6] = 13;
    Feed(1, Text("ZR005-01\r"));
    EXPECT_EQ(Routing.TallyTable[6], 0);
    if (ZoltDelivers) {
        EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 006 000"});
    }

    SimRouter r = MakeRouter(16, 200, 1);
    SimSetXpt(r, 0, 9, 4);
    RouteDispatch(0, 9);  // "ZS008-01"
    Exchange(SimBtsascii, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 9), 0);
    Routing.TallyTable[9] = 4;
    ProtocolTable[kBts]->poll(9);
    Exchange(SimBtsascii, r, 1);
    EXPECT_EQ(Routing.TallyTable[9], 0);
}

TEST_F(BtsasciiTest, UnchangedTallyAndRevertiveDelay)
{
    Feed(1, Text("ZR005012\rZR005012\r"));
    EXPECT_EQ(RevertiveCounter, 1u);

    Start(1);
    Profile.RevertiveDelay = 500;
    Feed(1, Text("ZR005012\r"));
    EXPECT_EQ(Routing.PendingTable[6], 13);
    EXPECT_EQ(Routing.TallyTable[6], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(BtsasciiTest, EveryCrBringsAFailedPortBack)
{
    Ports.CommsFail[1] = 1;
    Feed(1, Text("no zed\r"));
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u);  // the ok report
    EXPECT_NE(Proto.RxCount[1], 0);      // the bytes wait for a Z

    Start(1);
    Ports.CommsFail[1] = 1;
    Feed(1, Text("ZY\r"));
    EXPECT_EQ(Ports.CommsFail[1], 0);
}

TEST_F(BtsasciiTest, NoReplyCountClearsOnlyForALineWithAZ)
{
    Ports.NoReply[1] = 3;
    Feed(1, Text("no zed\r"));
    EXPECT_EQ(Ports.NoReply[1], 3);
    Feed(1, Text("ZY\r"));
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Proto.RxCount[1], 0);
}

TEST_F(BtsasciiTest, ReplyAcrossTheBufferEnd)
{
    Feed(1, std::vector<uint8_t>(251, 'x'));
    Feed(1, Text("ZR005012\r"));
    EXPECT_EQ(Routing.TallyTable[6], 13);
}

TEST_F(BtsasciiTest, RoundTripWithTheSimulatedRouter)
{
    Start(101);
    SimRouter r = MakeRouter(16, 200, 101);
    SimSetXpt(r, 0, 106, 13);
    ProtocolTable[kBts]->poll(101);  // cycle start, then an unknown crosspoint
    ProtocolTable[kBts]->poll(106);
    Exchange(SimBtsascii, r, 1);
    EXPECT_EQ(Routing.TallyTable[101], -1);
    EXPECT_EQ(Routing.TallyTable[106], 13);
    EXPECT_EQ(Ports.NoReply[1], 0);

    RouteDispatch(4, 106);
    Exchange(SimBtsascii, r, 1);  // acknowledged; the tally follows the next read
    EXPECT_EQ(SimXpt(r, 0, 106), 4);
    EXPECT_EQ(Routing.TallyTable[106], 13);
    ProtocolTable[kBts]->poll(106);
    Exchange(SimBtsascii, r, 1);
    EXPECT_EQ(Routing.TallyTable[106], 4);

    SimSetXpt(r, 0, 150, 2);
    SimBtsascii.announce(r, 150);
    Exchange(SimBtsascii, r, 1);
    EXPECT_EQ(Routing.TallyTable[150], 2);
}

TEST_F(BtsasciiTest, HostileBytesStayInsideTheTables)
{
    for (uint8_t protocol : {kBts}) {
        (void)protocol;
        Start(1);
        std::vector<uint8_t> bytes;
        uint32_t x = 12345;
        for (int i = 0; i < 5000; ++i) {
            x = x * 1103515245u + 12345u;
            uint8_t b = static_cast<uint8_t>(x >> 16);
            bytes.push_back(i % 9 == 8 ? '\r' : i % 13 == 0 ? 'Z' : b);
        }
        Feed(1, bytes);
        for (int32_t d = 1; d <= kMaxDest; ++d)
            ASSERT_TRUE(Routing.TallyTable[d] >= -1 && Routing.TallyTable[d] <= 16) << d;
        EXPECT_GE(Proto.RxCount[1], 0);
        EXPECT_LT(Proto.RxCount[1], 256);
    }
}
