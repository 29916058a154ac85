// VARDARTR and VARDAGPI: their commands, the three-character replies taken
// byte by byte, error counting and comms state, and round trips with the
// simulated router and GPI unit.
#include "router_harness.h"

// Both simulated devices in one test: each in its own namespace, as their
// files share helper names (their headers are already included above).
namespace gpi {
#include "tools/routersim/sim_vardagpi.cpp"
}
namespace rtr {
#include "tools/routersim/sim_vardartr.cpp"
}
using gpi::SimVardagpi;
using rtr::SimVardartr;

using namespace bench;

namespace {

constexpr uint8_t kRtr = 7;
constexpr uint8_t kGpi = 8;

struct VardaTest : ::testing::Test {
    void SetUp() override { Start(kRtr, 1); }
    void TearDown() override { Finish(); }
    // 16 sources, 64 destinations; port 1 speaks protocol from minDest on.
    static void Start(uint8_t protocol, int32_t minDest)
    {
        Reset();
        Profile.DatabaseSize_0 = 16;
        Profile.DatabaseSize_1 = 64;
        UsePort(1, protocol, minDest, minDest + 19);
    }
};

}  // namespace

TEST_F(VardaTest, RouterCommands)
{
    ProtocolTable[kRtr]->poll(4);
    RouteDispatch(2, 4);
    EXPECT_EQ(Sent, TextFrames({"I3\r", "R13\r"}));

    Start(kRtr, 21);
    ProtocolTable[kRtr]->poll(33);
    RouteDispatch(12, 33);
    EXPECT_EQ(Sent, TextFrames({"I12\r", "R1112\r"}));
    EXPECT_EQ(Routing.TallyTable[33], 0);
}

TEST_F(VardaTest, GpiCommands)
{
    Start(kGpi, 1);
    RouteDispatch(1, 3);
    RouteDispatch(2, 3);
    RouteDispatch(0, 3);
    ProtocolTable[kGpi]->poll(3);
    RouteDispatch(1, 12);
    EXPECT_EQ(Sent, TextFrames({"S31\r", "S30\r", "S30\r", "I3\r", "S121\r"}));
    EXPECT_EQ(Routing.TallyTable[3], 0);
}

TEST_F(VardaTest, RouterReplies)
{
    struct Case {
        const char *what;
        int32_t minDest;
        const char *bytes;
        int32_t dest, tally;  // TallyTable[dest] afterwards
        uint32_t errors;
    };
    const Case cases[] = {
        {"interrogate reply", 1, "I31\r", 4, 2, 0},
        {"route reply", 1, "R13\r", 4, 2, 0},
        {"letters count from A as 10", 1, "IA0\r", 11, 1, 0},
        {"0x40 counts as 9", 1, "I@0\r", 10, 1, 0},
        {"MinDest 21", 21, "I31\r", 24, 2, 0},
        {"four characters are ignored", 1, "I123\r", 2, 0, 0},
        {"two characters are ignored", 1, "I3\r", 4, 0, 0},
        {"unknown first letter", 1, "X31\r", 4, 0, 1},
        {"destination past the device", 1, "I~1\r", 4, 0, 0},
        {"source the device lacks", 1, "I3z\r", 4, -1, 0},
        {"source below parking", 1, "I3 \r", 4, -1, 0},
        {"destination below the port", 21, "I/1\r", 20, 0, 0},
        {"bytes before a valid reply", 1, "xx\rI31\r", 4, 2, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Start(kRtr, c.minDest);
        Feed(1, Text(c.bytes));
        EXPECT_EQ(Routing.TallyTable[c.dest], c.tally);
        EXPECT_EQ(Ports.ErrorCount[1], c.errors);
        EXPECT_EQ(RevertiveCounter, c.tally != 0 ? 1u : 0u);
    }
}

TEST_F(VardaTest, GpiReplies)
{
    struct Case {
        const char *what;
        const char *bytes;
        int32_t dest, tally;
        uint32_t errors;
    };
    const Case cases[] = {
        {"interrogate reply off", "I30\r", 3, 2, 0},
        {"set reply off", "S30\r", 3, 2, 0},
        {"set reply on", "S31\r", 3, 1, 0},
        {"other states are off", "I37\r", 3, 2, 0},
        {"four characters are ignored", "I123\r", 1, 0, 0},
        {"unknown first letter", "R31\r", 3, 0, 1},
        {"output digit 0", "I01\r", 1, 0, 0},
        // Outputs are character - "0" on past "9".
        {"colon is output 10", "I:1\r", 10, 1, 0},
        {"A is output 17", "IA1\r", 17, 1, 0},
        {"output below 0", "I/1\r", 1, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Start(kGpi, 1);
        Feed(1, Text(c.bytes));
        EXPECT_EQ(Routing.TallyTable[c.dest], c.tally);
        EXPECT_EQ(Ports.ErrorCount[1], c.errors);
        EXPECT_EQ(RevertiveCounter, c.tally != 0 ? 1u : 0u);
    }
}

// A state other than 0 and 1 is compared as its value, so it differs from
// the 1 or 2 in the table; the table gets "off", the pending entry the value.
TEST_F(VardaTest, GpiStateOtherThanOnOrOff)
{
    Start(kGpi, 1);
    Feed(1, Text("I30\r"));
    Feed(1, Text("I37\r"));  // 7 is not the 2 held: off again, reported again
    EXPECT_EQ(Routing.TallyTable[3], 2);
    EXPECT_EQ(RevertiveCounter, 2u);
    Feed(1, Text("S30\r"));  // 2 as held: nothing
    EXPECT_EQ(RevertiveCounter, 2u);

    Start(kGpi, 1);
    Profile.RevertiveDelay = 500;
    Feed(1, Text("I37\r"));
    EXPECT_EQ(Routing.PendingTable[3], 7);
    EXPECT_EQ(Routing.TallyTable[3], 0);
    Routing.TallyTable[3] = 2;
    Routing.PendingTable[3] = 0;
    Feed(1, Text("I30\r"));  // off as held: not pended
    EXPECT_EQ(Routing.PendingTable[3], 0);
}

// A router echoing a parked output sends the wire source -1, "/": source 0.
TEST_F(VardaTest, RouterEchoingAPark)
{
    Routing.TallyTable[4] = 5;
    Feed(1, Text("I3/\r"));
    EXPECT_EQ(Routing.TallyTable[4], 0);
    EXPECT_EQ(RevertiveCounter, 1u);
    if (ZoltDelivers) {
        EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 004 000"});
    }
    Routing.TallyTable[4] = 5;
    Feed(1, Text("R/3\r"));
    EXPECT_EQ(Routing.TallyTable[4], 0);

    SimRouter r = MakeRouter(16, 20, 1);
    SimSetXpt(r, 0, 6, 7);
    RouteDispatch(0, 6);  // "R-15": parking
    Exchange(SimVardartr, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 6), 0);
    Routing.TallyTable[6] = 7;
    ProtocolTable[kRtr]->poll(6);
    Exchange(SimVardartr, r, 1);
    EXPECT_EQ(Routing.TallyTable[6], 0);
}

TEST_F(VardaTest, RouterReplyWithRevertiveDelayIsPended)
{
    Profile.RevertiveDelay = 500;
    Feed(1, Text("I31\r"));
    EXPECT_EQ(Routing.PendingTable[4], 2);
    EXPECT_EQ(Routing.TallyTable[4], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(VardaTest, EveryCrClearsTheNoReplyCount)
{
    for (uint8_t protocol : {kRtr, kGpi}) {
        Start(protocol, 1);
        Ports.NoReply[1] = 5;
        Feed(1, Text("I12345\r"));
        EXPECT_EQ(Ports.NoReply[1], 0);
        EXPECT_EQ(Proto.RxCount[1], 0);
        EXPECT_EQ(Ports.ErrorCount[1], 0u);
    }
}

TEST_F(VardaTest, RouterReplyForAValidDestinationBringsAFailedPortBack)
{
    Ports.CommsFail[1] = 1;
    Feed(1, Text("I~1\r"));  // no such destination
    Feed(1, Text("X31\r"));  // counted, state unchanged
    EXPECT_EQ(Ports.CommsFail[1], 1);
    EXPECT_EQ(Ports.ErrorCount[1], 1u);
    Feed(1, Text("I31\r"));
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 2u);

    Start(kGpi, 1);
    Ports.CommsFail[1] = 1;
    Feed(1, Text("I31\r"));
    EXPECT_EQ(Ports.CommsFail[1], 1);
    EXPECT_EQ(Routing.TallyTable[3], 1);
}

TEST_F(VardaTest, ReplyAfterTheCountHasWrapped)
{
    Feed(1, std::vector<uint8_t>(256, 'x'));  // the count wraps to 0 without a CR
    Feed(1, Text("I31\r"));
    EXPECT_EQ(Routing.TallyTable[4], 2);
}

TEST_F(VardaTest, RoundTripWithTheSimulatedRouter)
{
    SimRouter r = MakeRouter(16, 20, 1);
    SimSetXpt(r, 0, 4, 7);
    ProtocolTable[kRtr]->poll(4);
    Exchange(SimVardartr, r, 1);
    EXPECT_EQ(Routing.TallyTable[4], 7);

    RouteDispatch(2, 4);
    Exchange(SimVardartr, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 4), 2);
    EXPECT_EQ(Routing.TallyTable[4], 2);

    RouteDispatch(12, 15);  // "R1114": only source 12 to destination 15 fits
    Exchange(SimVardartr, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 15), 12);
    EXPECT_EQ(Routing.TallyTable[15], 12);

    SimSetXpt(r, 0, 11, 1);
    SimVardartr.announce(r, 11);
    Exchange(SimVardartr, r, 1);
    EXPECT_EQ(Routing.TallyTable[11], 1);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}

TEST_F(VardaTest, RoundTripWithTheSimulatedGpiUnit)
{
    Start(kGpi, 1);
    SimRouter r = MakeRouter(2, 9, 1);
    ProtocolTable[kGpi]->poll(3);  // unknown state: off
    Exchange(SimVardagpi, r, 1);
    EXPECT_EQ(Routing.TallyTable[3], 2);

    RouteDispatch(1, 3);
    Exchange(SimVardagpi, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 3), 1);
    EXPECT_EQ(Routing.TallyTable[3], 1);

    RouteDispatch(2, 3);
    Exchange(SimVardagpi, r, 1);
    EXPECT_EQ(Routing.TallyTable[3], 2);
}

TEST_F(VardaTest, HostileBytesStayInsideTheTables)
{
    for (uint8_t protocol : {kRtr, kGpi}) {
        Start(protocol, 1);
        std::vector<uint8_t> bytes;
        uint32_t x = 12345;
        for (int i = 0; i < 5000; ++i) {
            x = x * 1103515245u + 12345u;
            uint8_t b = static_cast<uint8_t>(x >> 16);
            bytes.push_back(i % 9 == 8 ? '\r' : i % 13 == 0 ? 'I' : b);
        }
        Feed(1, bytes);
        for (int32_t d = 1; d <= kMaxDest; ++d)
            ASSERT_TRUE(Routing.TallyTable[d] >= -1 && Routing.TallyTable[d] <= 16) << d;
        EXPECT_GE(Proto.RxCount[1], 0);
        EXPECT_LT(Proto.RxCount[1], 256);
    }
}
