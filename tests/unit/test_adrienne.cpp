// ADRIENNE: the addressed interrogate and select frames, the tally that
// always lands on destination 1, the three-byte status collector, and a
// round trip with the simulated unit.
#include "router_harness.h"

#include "tools/routersim/sim_adrienne.cpp"

using namespace bench;

namespace {

constexpr uint8_t kAdrienne = 14;

struct AdrienneTest : ::testing::Test {
    void SetUp() override { Start(); }
    void TearDown() override { Finish(); }
    // Address 5, 16 sources, 32 destinations, port 1 serving 1..16.
    static void Start()
    {
        Reset();
        Profile.DatabaseSize_0 = 16;
        Profile.DatabaseSize_1 = 32;
        Profile.AdrienneAddress = 5;
        Profile.AdrienneAddressDigits[0] = '0';
        Profile.AdrienneAddressDigits[1] = '5';
        UsePort(1, kAdrienne, 1, 16);
    }
};

}  // namespace

TEST_F(AdrienneTest, InterrogateCarriesTheAddressWhateverTheDestination)
{
    ProtocolTable[kAdrienne]->poll(1);
    ProtocolTable[kAdrienne]->poll(9);
    EXPECT_EQ(Sent, (std::vector<Frame>{{1, Bytes("02 30 35 05")}, {1, Bytes("02 30 35 05")}}));

    Profile.AdrienneAddressDigits[0] = '9';
    Profile.AdrienneAddressDigits[1] = '9';
    Sent.clear();
    ProtocolTable[kAdrienne]->poll(16);
    EXPECT_EQ(Sent, (std::vector<Frame>{{1, Bytes("02 39 39 05")}}));
}

TEST_F(AdrienneTest, SelectSetsDestinationOneAtOnce)
{
    RouteDispatch(3, 1);
    EXPECT_EQ(Sent, (std::vector<Frame>{{1, Bytes("02 30 35 32 32")}}));
    EXPECT_EQ(Routing.TallyTable[1], 3);
    EXPECT_EQ(RevertiveCounter, 1u);
    if (ZoltDelivers) {
        EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 001 003"});
    }

    Start();
    RouteDispatch(10, 7);  // any destination of the port: destination 1 follows
    EXPECT_EQ(Sent, (std::vector<Frame>{{1, Bytes("02 30 35 39 39")}}));
    EXPECT_EQ(Routing.TallyTable[1], 10);
    EXPECT_EQ(Routing.TallyTable[7], 0);
}

// The select is taken as made at once; the revertive delay holds back
// only the unit's status.
TEST_F(AdrienneTest, SelectIgnoresTheRevertiveDelay)
{
    Profile.RevertiveDelay = 500;
    RouteDispatch(3, 1);
    EXPECT_EQ(Routing.TallyTable[1], 3);
    EXPECT_EQ(Routing.PendingTable[1], 0);
    EXPECT_EQ(RevertiveCounter, 1u);
}

TEST_F(AdrienneTest, SelectOnAFailedPortWaitsForTheStatus)
{
    Ports.CommsFail[1] = 1;
    RouteDispatch(3, 1);
    EXPECT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Routing.TallyTable[1], 0);
    EXPECT_EQ(RevertiveCounter, 0u);

    Feed(1, Bytes("32 00 31"));  // a status still counts, but the port stays failed
    EXPECT_EQ(Routing.TallyTable[1], 3);
    EXPECT_EQ(Ports.CommsFail[1], 1);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}

TEST_F(AdrienneTest, StatusBytes)
{
    struct Case {
        const char *what;
        const char *bytes;
        int32_t tally1;  // TallyTable[1] afterwards
    };
    const Case cases[] = {
        {"status of source 3", "32 00 31", 3},
        {"status of source 1", "30 7F 31", 1},
        {"status of source 2 (digit equals the end byte)", "31 00 31", 2},
        {"four bytes dropped, then a status", "32 00 30 33 32 00 31", 3},
        {"a status that never ends", "32 00 30 33", 0},
        {"source past the device", "7A 00 31", -1},
        {"source 0 is below the digits", "2F 00 31", 0},
        {"control byte as digit", "05 00 31", -1},
        {"two statuses in a row", "32 00 31 34 00 31", 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Start();
        Feed(1, Bytes(c.bytes));
        EXPECT_EQ(Routing.TallyTable[1], c.tally1);
        EXPECT_EQ(Ports.ErrorCount[1], 0u);
        for (int32_t d = 2; d <= 32; ++d)
            EXPECT_EQ(Routing.TallyTable[d], 0) << d;
    }
}

TEST_F(AdrienneTest, StatusIsReportedOnlyWhenItChanges)
{
    Feed(1, Bytes("32 00 31 32 00 31"));
    EXPECT_EQ(RevertiveCounter, 1u);

    Start();
    Profile.RevertiveDelay = 500;
    Feed(1, Bytes("32 00 31"));
    EXPECT_EQ(Routing.PendingTable[1], 3);
    EXPECT_EQ(Routing.TallyTable[1], 0);
}

TEST_F(AdrienneTest, EveryByteClearsTheNoReplyCount)
{
    Ports.NoReply[1] = 7;
    Feed(1, Bytes("FF"));
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Proto.RxCount[1], 1);
    Feed(1, Bytes("FF FF FF FF"));
    EXPECT_EQ(Proto.RxCount[1], 1);  // the fifth byte started a new collection
}

TEST_F(AdrienneTest, RoundTripWithTheSimulatedUnit)
{
    SimRouter r = MakeRouter(16, 1, 1);
    r.options.push_back("address=5");
    ProtocolTable[kAdrienne]->poll(4);  // unknown input: the first one
    Exchange(SimAdrienne, r, 1);
    EXPECT_EQ(Routing.TallyTable[1], 1);

    RouteDispatch(7, 4);
    Exchange(SimAdrienne, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 1), 7);
    EXPECT_EQ(Routing.TallyTable[1], 7);

    SimSetXpt(r, 0, 1, 2);
    SimAdrienne.announce(r, 1);
    Exchange(SimAdrienne, r, 1);
    EXPECT_EQ(Routing.TallyTable[1], 2);

    Profile.AdrienneAddressDigits[1] = '6';  // another unit's address: no answer
    ProtocolTable[kAdrienne]->poll(4);
    Exchange(SimAdrienne, r, 1);
    EXPECT_EQ(SimLines.back(), "OTHER address");
}
