// NTPEQ: groups of five with position letters G..K, the single and group
// tallies, the one revertive run per group tally, and a round trip with the
// simulated unit.
#include "router_harness.h"

#include "tools/routersim/sim_ntpeq.cpp"

using namespace bench;

namespace {

constexpr uint8_t kNtpeq = 6;

void ExpectRevertives(const std::vector<std::string> &texts)
{
    EXPECT_EQ(RevertiveCounter, texts.size());
    if (ZoltDelivers) {
        EXPECT_EQ(Revertives(), texts);
    }
}

struct NtpeqTest : ::testing::Test {
    void SetUp() override { Start(1, 40); }
    void TearDown() override { Finish(); }
    // 16 sources, 40 destinations; port 1 serves minDest..maxDest.
    static void Start(int32_t minDest, int32_t maxDest)
    {
        Reset();
        Profile.DatabaseSize_0 = 16;
        Profile.DatabaseSize_1 = 200;
        UsePort(1, kNtpeq, minDest, maxDest);
    }
};

std::string SentText()
{
    std::string out;
    for (const Frame &f : Sent)
        out += std::string(f.bytes.begin(), f.bytes.end()) + "|";
    return out;
}

}  // namespace

TEST_F(NtpeqTest, DestinationsBecomeGroupAndPositionLetter)
{
    struct Case {
        int32_t minDest, dest, source;
        const char *route, *poll;
    };
    const Case cases[] = {
        {1, 7, 12, ".ZH2,12\r", ".ZM2,-\r"},
        {1, 5, 3, ".ZK1,3\r", ".ZM1,-\r"},
        {1, 6, 3, ".ZG2,3\r", ".ZM2,-\r"},
        {1, 1, 0, ".ZG1,0\r", ".ZM1,-\r"},
        {101, 107, 12, ".ZH2,12\r", ".ZM2,-\r"},
        {101, 150, 1, ".ZK10,1\r", ".ZM10,-\r"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.route);
        Start(c.minDest, c.minDest + 49);
        RouteDispatch(c.source, c.dest);
        ProtocolTable[kNtpeq]->poll(c.dest);
        EXPECT_EQ(SentText(), std::string(c.route) + "|" + c.poll + "|");
        EXPECT_EQ(Routing.TallyTable[c.dest], 0);
    }
    Start(1, 40);
    RouteDispatch(12, 7);
    EXPECT_TRUE(HasDebug(".ZH2,12"));
}

TEST_F(NtpeqTest, ReceivedLines)
{
    struct Case {
        const char *what;
        int32_t minDest;
        const char *bytes;
        int32_t dest, tally;  // TallyTable[dest] afterwards
        int revertives;
    };
    const Case cases[] = {
        {"single tally", 1, ".qH2,12\r", 7, 12, 1},
        {"single tally, MinDest 101", 101, ".qH2,12\r", 107, 12, 1},
        {"letter K", 1, ".qK1,4\r", 5, 4, 1},
        {"echo before the full stop", 1, "ZH2,12\r.qH2,12\r", 7, 12, 1},
        {"noise before the full stop", 1, "xx.qH2,12\r", 7, 12, 1},
        {"second character not q", 1, ".QH2,12\r", 7, 0, 0},
        {"unknown letter", 1, ".qA2,12\r", 7, 0, 0},
        {"letter L", 1, ".qL2,12\r", 7, 0, 0},
        {"source out of range", 1, ".qH2,99\r", 7, -1, 1},
        {"source missing", 1, ".qH2\r", 7, -1, 1},
        {"group 0 names no output", 6, ".qK0,3\r", 5, 0, 0},
        // From MinDest 0 the first group starts at 0 (no destination) and
        // its other four positions are destinations 1 to 4.
        {"MinDest 0: group 1 letter H", 0, ".qH1,12\r", 1, 12, 1},
        {"MinDest 0: group 1 tally", 0, ".qM1,1,2,3,4,5,0\r", 4, 5, 4},
        {"MinDest 0: letter G names destination 0", 0, ".qG1,12\r", 1, 0, 0},
        {"huge group", 1, ".qG99999999999,3\r", 1, 0, 0},
        {"no CR", 1, ".qH2,12", 7, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.minDest, c.minDest + 49);
        Feed(1, Text(c.bytes));
        EXPECT_EQ(Routing.TallyTable[c.dest], c.tally);
        EXPECT_EQ(RevertiveCounter, static_cast<uint32_t>(c.revertives));
        EXPECT_EQ(Ports.ErrorCount[1], 0u);  // nothing here counts as an error
    }
}

TEST_F(NtpeqTest, GroupTallySetsFiveDestinationsInOneRun)
{
    Feed(1, Text(".qM2,1,2,3,4,5,0\r"));
    for (int32_t d = 6; d <= 10; ++d)
        EXPECT_EQ(Routing.TallyTable[d], d - 5) << d;
    EXPECT_EQ(Routing.TallyTable[5], 0);
    EXPECT_EQ(Routing.TallyTable[11], 0);
    ExpectRevertives({"RR 007 006 001", "RR 007 007 002", "RR 007 008 003", "RR 007 009 004",
                      "RR 007 010 005"});
    std::vector<std::string> tallyLines;
    for (const auto &line : DebugLines())
        if (line.rfind("Tally > ", 0) == 0)
            tallyLines.push_back(line);
    EXPECT_EQ(tallyLines, (std::vector<std::string>{
                              "Tally > iDest=6 iSource=1", "Tally > iDest=7 iSource=2",
                              "Tally > iDest=8 iSource=3", "Tally > iDest=9 iSource=4",
                              "Tally > iDest=10 iSource=5"}));
    EXPECT_TRUE(HasDebug(".qM2,1,2,3,4,5,0"));
}

TEST_F(NtpeqTest, GroupRunSpansLowestToHighestChanged)
{
    Routing.TallyTable[6] = 1;
    Routing.TallyTable[8] = 3;
    Routing.TallyTable[10] = 5;
    Feed(1, Text(".qM2,1,7,3,9,5,0\r"));
    EXPECT_EQ(Routing.TallyTable[7], 7);
    EXPECT_EQ(Routing.TallyTable[9], 9);
    ExpectRevertives({"RR 007 007 007", "RR 007 008 003", "RR 007 009 009"});

    RevertiveReset();
    Feed(1, Text(".qM2,1,7,3,9,5,0\r"));  // nothing changed: no run at all
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(NtpeqTest, GroupTallyPastTheLastDestination)
{
    Profile.DatabaseSize_1 = 8;
    Feed(1, Text(".qM2,1,2,3,4,5,0\r"));
    EXPECT_EQ(Routing.TallyTable[6], 1);
    EXPECT_EQ(Routing.TallyTable[8], 3);
    EXPECT_EQ(Routing.TallyTable[9], 0);
    EXPECT_EQ(Routing.TallyTable[10], 0);
    EXPECT_EQ(RevertiveCounter, 3u);
}

// Port 1 has 8 outputs and port 2's router owns 9 and 10: group 2 of port
// 1 still reports five positions, and the last two must not land on port 2.
TEST_F(NtpeqTest, GroupPastThePortsLastOutputLeavesTheNextPortAlone)
{
    Start(1, 8);
    UsePort(2, kNtpeq, 9, 16);
    Routing.TallyTable[9] = 11;
    Routing.TallyTable[10] = 12;
    Feed(1, Text(".qM2,1,2,3,4,5,0\r.qJ2,6\r"));
    EXPECT_EQ(Routing.TallyTable[8], 3);
    EXPECT_EQ(Routing.TallyTable[9], 11);
    EXPECT_EQ(Routing.TallyTable[10], 12);
    EXPECT_EQ(RevertiveCounter, 3u);
    Feed(2, Text(".qG1,4\r"));  // port 2's own first output still reports
    EXPECT_EQ(Routing.TallyTable[9], 4);
}

TEST_F(NtpeqTest, GroupTallyWithBadOrMissingSources)
{
    Feed(1, Text(".qM1,3,99,-4,2\r"));  // two sources short: positions 4 and 5 untouched
    EXPECT_EQ(Routing.TallyTable[1], 3);
    EXPECT_EQ(Routing.TallyTable[2], -1);
    EXPECT_EQ(Routing.TallyTable[3], -1);
    EXPECT_EQ(Routing.TallyTable[4], 2);
    EXPECT_EQ(Routing.TallyTable[5], 0);

    Start(1, 40);
    Feed(1, Text(".qM0,1,2,3,4,5,0\r.qM,1,2,3,4,5,0\r"));
    for (int32_t d = 1; d <= 10; ++d)
        EXPECT_EQ(Routing.TallyTable[d], 0) << d;
}

TEST_F(NtpeqTest, RevertiveDelayPendsEveryEntryOfAGroup)
{
    Profile.RevertiveDelay = 500;
    Routing.TallyTable[6] = 1;
    Feed(1, Text(".qM2,1,2,3,4,5,0\r"));
    for (int32_t d = 6; d <= 10; ++d)
        EXPECT_EQ(Routing.PendingTable[d], d - 5) << d;  // unchanged 6 as well
    EXPECT_EQ(Routing.TallyTable[7], 0);
    EXPECT_EQ(RevertiveCounter, 0u);

    Feed(1, Text(".qJ3,9\r"));
    EXPECT_EQ(Routing.PendingTable[14], 9);
}

TEST_F(NtpeqTest, ALineClearsTheNoReplyCountButNeverAFailure)
{
    Ports.CommsFail[1] = 1;
    Ports.NoReply[1] = 4;
    Feed(1, Text("no stop\r"));
    EXPECT_EQ(Ports.NoReply[1], 4);
    EXPECT_NE(Proto.RxCount[1], 0);
    Feed(1, Text(".x\r"));
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Proto.RxCount[1], 0);
    EXPECT_EQ(Ports.CommsFail[1], 1);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}

TEST_F(NtpeqTest, LinesAcrossTheBufferEnd)
{
    Feed(1, std::vector<uint8_t>(245, 'x'));
    Feed(1, Text(".qM2,1,2,3,4,5,0\r"));
    EXPECT_EQ(Routing.TallyTable[10], 5);
}

TEST_F(NtpeqTest, RoundTripWithTheSimulatedUnit)
{
    Start(101, 140);
    SimRouter r = MakeRouter(16, 140, 101);
    for (int d = 106; d <= 110; ++d)
        SimSetXpt(r, 0, d, d - 100);
    ProtocolTable[kNtpeq]->poll(108);
    Exchange(SimNtpeq, r, 1);
    for (int32_t d = 106; d <= 110; ++d)
        EXPECT_EQ(Routing.TallyTable[d], d - 100) << d;

    RouteDispatch(12, 107);
    Exchange(SimNtpeq, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 107), 12);
    EXPECT_EQ(Routing.TallyTable[107], 12);

    SimSetXpt(r, 0, 140, 3);
    SimNtpeq.announce(r, 140);
    Exchange(SimNtpeq, r, 1);
    EXPECT_EQ(Routing.TallyTable[140], 3);

    ProtocolTable[kNtpeq]->poll(101);  // unknown crosspoints come back as no source
    Exchange(SimNtpeq, r, 1);
    EXPECT_EQ(Routing.TallyTable[101], -1);
}

TEST_F(NtpeqTest, HostileBytesStayInsideTheTables)
{
    for (uint8_t protocol : {kNtpeq}) {
        (void)protocol;
        Start(1, 40);
        std::vector<uint8_t> bytes;
        uint32_t x = 12345;
        for (int i = 0; i < 5000; ++i) {
            x = x * 1103515245u + 12345u;
            uint8_t b = static_cast<uint8_t>(x >> 16);
            bytes.push_back(i % 9 == 8 ? '\r' : i % 13 == 0 ? '.' : b);
        }
        Feed(1, bytes);
        for (int32_t d = 1; d <= kMaxDest; ++d)
            ASSERT_TRUE(Routing.TallyTable[d] >= -1 && Routing.TallyTable[d] <= 16) << d;
        EXPECT_GE(Proto.RxCount[1], 0);
        EXPECT_LT(Proto.RxCount[1], 256);
    }
}
