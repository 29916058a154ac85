// NETWORK: header from router type and level, the interrogation, tally
// messages, the start-up sweep reported in one block, CommandsEnabled on
// receive and 2741 to an external driver.
#include "router_harness.h"

#include <map>

#include "protocols/network.h"
#include "tools/routersim/sim_network.cpp"

using namespace bench;

namespace {

constexpr uint8_t kNetwork = 12;
const ProtocolOps &Ops() { return *ProtocolTable[kNetwork]; }

// 16 destinations over two ports, video level 3.
void SetUpDevice()
{
    Reset();
    Profile.DatabaseSize_1 = 16;
    Profile.NetworkRouterType = 0xA0;
    Profile.NetworkRouterLvl = 3;
    UsePort(1, kNetwork, 1, 8);
    UsePort(2, kNetwork, 9, 16);
    NetworkSweepDone = 0;
}

class Network : public ::testing::Test {
protected:
    void SetUp() override { SetUpDevice(); }
    void TearDown() override { Finish(); }
};

void ExpectTallies(const std::map<int, int> &changed, const char *what)
{
    for (int d = 1; d <= 16; ++d) {
        auto it = changed.find(d);
        EXPECT_EQ(Routing.TallyTable[d], it == changed.end() ? 0 : it->second)
            << what << ": destination " << d;
    }
}

struct WireCase {
    const char *what;
    int32_t type;
    int32_t level;
    bool route;
    int32_t source;
    int32_t dest;
    int port;
    const char *frame;
};

TEST_F(Network, FramesOfRouteAndPoll)
{
    const WireCase cases[] = {
        {"route on video level 3", 0xA0, 3, true, 10, 6, 1, "A3 05 09"},
        {"poll on video level 3", 0xA0, 3, false, 0, 6, 1, "C3 00"},
        {"route on audio level 0", 0x90, 0, true, 1, 1, 1, "90 00 00"},
        {"poll on audio level 0", 0x90, 0, false, 0, 1, 1, "C0 00"},
        {"poll on audio level 15", 0x90, 15, false, 0, 3, 1, "CF 00"},
        {"level out of range taken as 0", 0xA0, 20, true, 2, 2, 1, "A0 01 01"},
        {"second port counts from its MinDest", 0xA0, 3, true, 3, 12, 2, "A3 03 02"},
        {"parking goes out as the low bits of -1", 0xA0, 3, true, 0, 1, 1, "A3 00 FF"},
    };
    for (const auto &c : cases) {
        Sent.clear();
        Profile.NetworkRouterType = c.type;
        Profile.NetworkRouterLvl = c.level;
        if (c.route)
            Ops().route(c.source, c.dest);
        else
            Ops().poll(c.dest);
        ASSERT_EQ(Sent.size(), 1u) << c.what;
        EXPECT_EQ(Sent[0].port, c.port) << c.what;
        EXPECT_EQ(Hex(Sent[0].bytes), c.frame) << c.what;
    }
    ExpectTallies({}, "a route leaves the table to the router's answer");
}

struct RxCase {
    const char *what;
    const char *bytes;
    std::map<int, int> tallies;
    uint32_t revertives;
    int32_t commandsEnabled;
};

TEST_F(Network, TallyMessagesAfterTheSweep)
{
    const RxCase cases[] = {
        {"tally sets the destination", "A3 05 09", {{6, 10}}, 1, 1},
        {"another level changes nothing but enables commands", "A4 05 09", {}, 0, 1},
        {"a header byte cuts a message short", "A3 05 A3 05 09", {{6, 10}}, 1, 1},
        {"source past the count stored as no source", "A3 05 7F", {{6, -1}}, 1, 1},
        {"destination past the count ignored", "A3 7F 01", {}, 0, 1},
        {"two bytes are no message", "A3 05", {}, 0, 0},
        {"three bytes without a header only enable commands", "05 09 01", {}, 0, 1},
        {"a repeated tally reports once", "A3 05 09 A3 05 09", {{6, 10}}, 1, 1},
        {"messages back to back", "A3 00 00 A3 01 01", {{1, 1}, {2, 2}}, 2, 1},
    };
    for (const auto &c : cases) {
        SetUpDevice();
        NetworkSweepDone = 1;
        Feed(1, Bytes(c.bytes));
        ExpectTallies(c.tallies, c.what);
        EXPECT_EQ(RevertiveCounter, c.revertives) << c.what;
        EXPECT_EQ(Commands.CommandsEnabled, c.commandsEnabled) << c.what;
        EXPECT_EQ(Ports.ErrorCount[1], 0u) << c.what;
    }
}

TEST_F(Network, SweepIsReportedInOneBlock)
{
    for (int d = 1; d <= 15; ++d)
        Feed(d <= 8 ? 1 : 2, {0xA3, static_cast<uint8_t>(d <= 8 ? d - 1 : d - 9),
                              static_cast<uint8_t>(d)});
    EXPECT_EQ(Routing.TallyTable[15], 16);
    EXPECT_EQ(RevertiveCounter, 0u) << "the sweep fills the table silently";
    EXPECT_EQ(NetworkSweepDone, 0);

    Feed(2, Bytes("A3 07 02"));  // destination 16, the last one
    EXPECT_EQ(NetworkSweepDone, 1);
    EXPECT_EQ(RevertiveCounter, 16u);
    std::vector<std::string> expected;
    for (int d = 1; d <= 16; ++d) {
        char text[32];
        std::snprintf(text, sizeof text, "RR 007 %03d %03d", d, d == 16 ? 3 : d + 1);
        expected.push_back(text);
    }
    EXPECT_EQ(Revertives(), expected);

    Inbox.clear();
    Feed(1, Bytes("A3 02 05"));
    EXPECT_EQ(RevertiveCounter, 17u) << "after the sweep each change on its own";
    EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 003 006"});
    Feed(2, Bytes("A3 07 02"));
    EXPECT_EQ(RevertiveCounter, 17u) << "the last destination again ends nothing";
}

TEST_F(Network, SweepEndsBeforeFirstVirtual)
{
    Profile.FirstVirtual = 12;
    Feed(2, Bytes("A3 03 01"));  // destination 12: past the sweep's end
    EXPECT_EQ(NetworkSweepDone, 0);
    Feed(2, Bytes("A3 02 01"));  // destination 11
    EXPECT_EQ(NetworkSweepDone, 1);
    EXPECT_EQ(RevertiveCounter, 11u);
}

TEST_F(Network, SweepEndsWithUnchangedLastTally)
{
    Routing.TallyTable[16] = 3;
    Feed(2, Bytes("A3 07 02"));
    EXPECT_EQ(NetworkSweepDone, 1);
    EXPECT_EQ(RevertiveCounter, 16u);
}

TEST_F(Network, RevertiveDelayPendsAndSendsNoTally)
{
    Shell.ExternalDriverWindow = External;
    NetworkSweepDone = 1;
    Profile.RevertiveDelay = 250;
    Feed(1, Bytes("A3 05 09"));
    EXPECT_EQ(Routing.PendingTable[6], 10);
    EXPECT_EQ(Routing.TallyTable[6], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
    EXPECT_TRUE(To(External, 2741).empty());
}

TEST_F(Network, ChangedTallyGoesToExternalDriver)
{
    if (!ZoltDelivers)
        GTEST_SKIP() << "ZOLT32TxMessage does not reach local windows yet";
    Shell.ExternalDriverWindow = External;
    Feed(1, Bytes("A3 05 09 A3 05 09"));  // during the sweep too
    NetworkSweepDone = 1;
    Feed(1, Bytes("A3 05 0A A4 05 01"));
    EXPECT_EQ(TalliesToExternal(), (std::vector<std::pair<int, int>>{{6, 10}, {6, 11}}));
    Inbox.clear();
    Profile.DriverMode = kDriverExternal;
    Feed(1, Bytes("A3 05 02"));
    EXPECT_TRUE(To(External, 2741).empty()) << "only in INTERNAL mode";
}

TEST_F(Network, CompleteMessageIsSignOfLife)
{
    Ports.CommsFail[1] = 1;
    Ports.NoReply[1] = 5;
    Feed(1, Bytes("A4 05"));
    EXPECT_EQ(Ports.NoReply[1], 0) << "every byte resets the no-reply count";
    EXPECT_EQ(Ports.CommsFail[1], 1) << "but only a whole message brings the port back";
    Feed(1, Bytes("09"));
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u) << "the ok report";
    EXPECT_EQ(Commands.CommandsEnabled, 1);
}

TEST_F(Network, SimulatedRouterSweepsAndTakesRoutes)
{
    Profile.Ports[1].MaxDest = 16;  // one router behind one port
    SimRouter r = MakeRouter(64, 16, 1);
    r.options = {"level=3"};
    for (int d = 1; d <= 16; ++d)
        SimSetXpt(r, 0, d, 17 - d);
    SimSetXpt(r, 0, 4, -1);

    Ops().poll(1);
    Exchange(SimNetwork, r, 1);
    EXPECT_EQ(NetworkSweepDone, 1);
    EXPECT_EQ(RevertiveCounter, 16u);
    EXPECT_EQ(Routing.TallyTable[1], 16);
    EXPECT_EQ(Routing.TallyTable[16], 1);
    EXPECT_EQ(Routing.TallyTable[4], -1) << "unknown crosspoint: a source past the count";

    RouteDispatch(10, 6);
    Exchange(SimNetwork, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 6), 10);
    EXPECT_EQ(Routing.TallyTable[6], 10);

    SimSetXpt(r, 0, 9, 2);
    SimNetwork.announce(r, 9);
    Exchange(SimNetwork, r, 1);
    EXPECT_EQ(Routing.TallyTable[9], 2);

    Profile.NetworkRouterLvl = 4;  // a level this router does not drive
    RouteDispatch(3, 6);
    Exchange(SimNetwork, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 6), 10);
    EXPECT_EQ(SimLines.back(), "IGNORED header a4");
}

}  // namespace
