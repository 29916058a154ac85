// PROBEL: interrogate and connect frames, the 0xFF-restarted collector,
// checksums, and the return to Tx/Rx when a failed router answers again.
#include "router_harness.h"

#include <map>

#include "tools/routersim/sim_probel.cpp"

using namespace bench;

namespace {

constexpr uint8_t kProbel = 2;
const ProtocolOps &Ops() { return *ProtocolTable[2]; }

class Probel : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        UsePort(1, kProbel, 1, 200);
        UsePort(2, kProbel, 201, 256);
    }
    void TearDown() override { Finish(); }
};

// The whole tally table 1..256 against what should have changed.
void ExpectTallies(const std::map<int, int> &changed, const char *what)
{
    for (int d = 1; d <= 256; ++d) {
        auto it = changed.find(d);
        int want = it == changed.end() ? 0 : it->second;
        EXPECT_EQ(Routing.TallyTable[d], want) << what << ": destination " << d;
    }
}

struct WireCase {
    const char *what;
    bool route;
    int32_t source;
    int32_t dest;
    int port;
    const char *frame;
};

TEST_F(Probel, FramesOfRouteAndPoll)
{
    const WireCase cases[] = {
        {"poll of the port's first destination", false, 0, 1, 1, "FF 01 00 00 7F"},
        {"route with destination bits in the multiplier", true, 5, 130, 1, "FF 02 10 01 04 69"},
        {"route of source 0 goes out as wire source 1023", true, 0, 1, 1, "FF 02 07 00 7F 78"},
        {"route with source bits in the multiplier", true, 200, 1, 1, "FF 02 01 00 47 36"},
        {"poll on a second port counts from its MinDest", false, 0, 244, 2, "FF 01 00 2B 54"},
    };
    for (const auto &c : cases) {
        Sent.clear();
        if (c.route)
            Ops().route(c.source, c.dest);
        else
            Ops().poll(c.dest);
        ASSERT_EQ(Sent.size(), 1u) << c.what;
        EXPECT_EQ(Sent[0].port, c.port) << c.what;
        EXPECT_EQ(Hex(Sent[0].bytes), c.frame) << c.what;
    }
    ExpectTallies({}, "routes leave the table to the router's answer");
}

// Ten-bit numbers: cut to ten bits they would name another crosspoint, and
// wire source 1023 is parking, so source 1024 and up and destinations past
// wire 1023 are not sent.
TEST_F(Probel, NumbersPastTenBitsAreNotSent)
{
    UsePort(1, kProbel, 1, 1100);
    Profile.DatabaseSize_0 = 1100;
    Profile.DatabaseSize_1 = 1100;
    Ops().poll(1025);
    Ops().route(5, 1025);
    Ops().route(1024, 6);
    EXPECT_TRUE(Sent.empty());
    Ops().poll(1024);
    Ops().route(1023, 1024);
    ASSERT_EQ(Sent.size(), 2u);
    EXPECT_EQ(Hex(Sent[0].bytes), "FF 01 70 7F 10");
    EXPECT_EQ(Hex(Sent[1].bytes), "FF 02 77 7F 7E 0A");
}

TEST_F(Probel, DestinationNoPortServesSendsNothing)
{
    Profile.Ports[2].MaxDest = 250;
    Ops().route(5, 253);
    Ops().poll(253);
    EXPECT_TRUE(Sent.empty());
}

struct RxCase {
    const char *what;
    int port;
    const char *bytes;
    std::map<int, int> tallies;
    uint32_t errors;
    uint32_t revertives;
};

TEST_F(Probel, ReceivedMessages)
{
    const RxCase cases[] = {
        {"tally sets the destination", 1, "FF 03 10 01 04 68", {{130, 5}}, 0, 1},
        {"connected tally sets it too", 1, "FF 04 10 01 04 67", {{130, 5}}, 0, 1},
        {"wrong checksum counts an error", 1, "FF 03 10 01 04 67", {}, 1, 0},
        {"two messages back to back", 1, "FF 03 00 00 00 7D FF 04 00 01 01 7A", {{1, 1}, {2, 2}}, 0, 2},
        {"0xFF inside a message cuts it off", 1, "FF 03 00 00 FF 03 00 02 02 79", {{3, 3}}, 0, 1},
        {"bytes after a message make no second one", 1, "FF 03 00 00 00 7D 03 00 01 00 7C",
         {{1, 1}}, 0, 1},
        {"bytes before the first 0xFF belong to no message", 1, "00 03 00 04 00 79", {}, 0, 0},
        {"destination past the count dropped silently", 1, "FF 03 70 68 00 25", {}, 0, 0},
        {"source past the count stored as no source", 1, "FF 03 00 04 64 15", {{5, -1}}, 0, 1},
        {"interrogate echoed by the router ignored", 1, "FF 01 00 00 7F", {}, 0, 0},
        {"connect echoed by the router ignored", 1, "FF 02 10 01 04 69", {}, 0, 0},
        {"echoed interrogate with a bad checksum", 1, "FF 01 00 00 7E", {}, 1, 0},
        {"unknown command never completes", 1, "FF 07 00 00 00 00 00 00", {}, 0, 0},
        {"second port adds its own MinDest", 2, "FF 03 00 00 02 7B", {{201, 3}}, 0, 1},
    };
    for (const auto &c : cases) {
        Reset();
        UsePort(1, kProbel, 1, 200);
        UsePort(2, kProbel, 201, 256);
        Feed(c.port, Bytes(c.bytes));
        ExpectTallies(c.tallies, c.what);
        EXPECT_EQ(Ports.ErrorCount[c.port], c.errors) << c.what;
        EXPECT_EQ(RevertiveCounter, c.revertives) << c.what;
    }
}

TEST_F(Probel, TallyIsReportedOnceAsRevertive)
{
    Feed(1, Bytes("FF 03 10 01 04 68"));
    Feed(1, Bytes("FF 03 10 01 04 68"));
    EXPECT_EQ(Routing.TallyTable[130], 5);
    EXPECT_EQ(RevertiveCounter, 1u) << "an unchanged tally reports nothing";
    if (ZoltDelivers) {
        EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 130 005"});
    }
}

TEST_F(Probel, RevertiveDelayPutsTallyInPendingTable)
{
    Profile.RevertiveDelay = 500;
    Feed(1, Bytes("FF 03 10 01 04 68"));
    EXPECT_EQ(Routing.PendingTable[130], 5);
    EXPECT_EQ(Routing.TallyTable[130], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(Probel, AnyByteClearsNoReplyCount)
{
    for (uint8_t b : {0x42, 0xFF, 0x00}) {
        Ports.NoReply[1] = 4;
        Feed(1, {b});
        EXPECT_EQ(Ports.NoReply[1], 0) << int(b);
    }
    EXPECT_EQ(Ports.ErrorCount[1], 0u) << "a healthy port is not reported";
}

struct RecoveryCase {
    const char *what;
    int32_t rule;  // GoRxOnlyOnComFail
    int32_t modeAfter;
};

TEST_F(Probel, FailedPortAnsweringAgainReturnsToTxRx)
{
    const RecoveryCase cases[] = {
        {"the port that sent the driver to Rx Only", 2, 2},
        {"any port, when any port may do so", 0, 2},
        {"another port's rule leaves Rx Only", 1, 1},
        {"no rule leaves Rx Only", -1, 1},
    };
    for (const auto &c : cases) {
        Reset();
        UsePort(2, kProbel, 201, 256);
        Profile.GoRxOnlyOnComFail = c.rule;
        Link.TxRxMode = 1;
        Ports.CommsFail[2] = 1;
        Ports.NoReply[2] = 9;
        Feed(2, {0x12});
        EXPECT_EQ(Ports.CommsFail[2], 1) << c.what << ": only a message start is a reply";
        Feed(2, {0xFF});
        EXPECT_EQ(Ports.CommsFail[2], 0) << c.what;
        EXPECT_EQ(Ports.ErrorCount[2], 1u) << c.what << ": the ok report";
        EXPECT_EQ(Ports.NoReply[2], 0) << c.what;
        EXPECT_EQ(Link.TxRxMode, c.modeAfter) << c.what;
        auto told = To(Vek, 2215);
        if (c.modeAfter == 2) {
            ASSERT_EQ(told.size(), 1u) << c.what;
            EXPECT_EQ(told[0].wParam, 2u) << c.what;
        } else {
            EXPECT_TRUE(told.empty()) << c.what;
        }
        Feed(2, {0xFF});
        EXPECT_EQ(Ports.ErrorCount[2], 1u) << c.what << ": recovery is reported once";
    }
}

TEST_F(Probel, SimulatedRouterTakesRoutesAndAnswersPolls)
{
    SimRouter r = MakeRouter(64, 256, 1);
    SimSetXpt(r, 0, 7, 9);

    RouteDispatch(5, 130);
    Exchange(SimProbel, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 130), 5);
    EXPECT_EQ(Routing.TallyTable[130], 5);

    Ops().poll(7);
    Exchange(SimProbel, r, 1);
    EXPECT_EQ(Routing.TallyTable[7], 9);

    SimSetXpt(r, 0, 20, 33);
    SimProbel.announce(r, 20);
    Exchange(SimProbel, r, 1);
    EXPECT_EQ(Routing.TallyTable[20], 33);

    RouteDispatch(0, 7);  // parking: wire source 1023, beyond every source
    Exchange(SimProbel, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 7), 0);
    EXPECT_EQ(Routing.TallyTable[7], -1);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}

TEST_F(Probel, SimulatedRouterRejectsBadChecksum)
{
    SimRouter r = MakeRouter(64, 256, 1);
    for (uint8_t b : Bytes("FF 02 10 01 04 68"))
        SimProbel.byte(r, b);
    EXPECT_TRUE(SimOutput.empty());
    ASSERT_FALSE(SimLines.empty());
    EXPECT_EQ(SimLines.back(), "BAD checksum");
    EXPECT_EQ(SimXpt(r, 0, 130), -1);
}

}  // namespace
