// VISTEK: the level Z frames the driver sends, the tally and acknowledge
// lines it takes byte by byte, its comms-state rules, and a round trip with
// the simulated router.
#include "router_harness.h"

#include "tools/routersim/sim_vistek.cpp"

using namespace bench;

namespace {

constexpr uint8_t kVistek = 5;

// Revertives are counted by every real SendRevertives; their texts can be
// checked once the interface library delivers to local windows.
void ExpectRevertives(const std::vector<std::string> &texts)
{
    EXPECT_EQ(RevertiveCounter, texts.size());
    if (ZoltDelivers) {
        EXPECT_EQ(Revertives(), texts);
    }
}

struct VistekTest : ::testing::Test {
    void SetUp() override { Start(); }
    void TearDown() override { Finish(); }
    // 16 sources, 32 destinations, all on port 1.
    static void Start()
    {
        Reset();
        Profile.DatabaseSize_0 = 16;
        Profile.DatabaseSize_1 = 32;
        UsePort(1, kVistek, 1, 32);
    }
};

std::vector<Frame> TextFrames(int port, std::initializer_list<const char *> texts)
{
    std::vector<Frame> out;
    for (const char *t : texts)
        out.push_back({port, Text(t)});
    return out;
}

}  // namespace

TEST_F(VistekTest, PollAndRouteFramesOnLevelZ)
{
    ProtocolTable[kVistek]->poll(12);
    RouteDispatch(5, 12);
    EXPECT_EQ(Sent, TextFrames(1, {".IZ12,-\r", ".SZ12,5\r"}));
    EXPECT_TRUE(HasDebug(".SZ12,5"));
    EXPECT_EQ(Routing.TallyTable[12], 0);  // the router's tally line sets it
}

TEST_F(VistekTest, FramesGoToThePortServingTheDestination)
{
    UsePort(1, kVistek, 1, 16);
    UsePort(2, kVistek, 17, 32);
    RouteDispatch(3, 20);
    ProtocolTable[kVistek]->poll(17);
    EXPECT_EQ(Sent, TextFrames(2, {".SZ20,3\r", ".IZ17,-\r"}));
}

TEST_F(VistekTest, ReceivedLines)
{
    struct Case {
        const char *what;
        const char *bytes;
        int32_t tally12;      // TallyTable[12] afterwards
        uint32_t errors;      // NotePortError calls
        const char *reply;    // what the driver sends back, "" for nothing
        int revertives;
    };
    const Case cases[] = {
        {"S tally", ".SV12,5\r", 5, 0, "", 1},
        {"A tally", ".AV12,5\r", 5, 0, "", 1},
        {"I tally", ".IV12,5\r", 5, 0, "", 1},
        {"X tally", ".XV12,5\r", 5, 0, "", 1},
        {"Z tally", ".ZV12,5\r", 5, 0, "", 1},
        {"third character not V", ".SZ12,5\r", 0, 0, "", 0},
        {"noise before the full stop", "xx.SV12,5\r", 5, 0, "", 1},
        {"destination out of range", ".SV99,5\r", 0, 0, "", 0},
        {"destination 0", ".SV0,5\r", 0, 0, "", 0},
        {"source out of range", ".SV12,17\r", -1, 0, "", 1},
        {"source not a number", ".SV12,-\r", -1, 0, "", 1},
        {"overlong number", ".SV12,99999999999999\r", -1, 0, "", 1},
        {"destination not a number", ".SV,5\r", 0, 0, "", 0},
        {"ack request E", ".E\r", 0, 0, ".A\r", 0},
        {"ack request P with text", ".P123\r", 0, 0, ".A\r", 0},
        {"unknown second character", ".Q\r", 0, 1, "", 0},
        {"bare full stop", ".\r", 0, 1, "", 0},
        {"no CR yet", ".SV12,5", 0, 0, "", 0},
        {"CR without full stop", "SV12,5\r", 0, 0, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Start();
        Feed(1, Text(c.bytes));
        EXPECT_EQ(Routing.TallyTable[12], c.tally12);
        EXPECT_EQ(Ports.ErrorCount[1], c.errors);
        EXPECT_EQ(Ports.CommsFail[1], 0);
        EXPECT_EQ(Sent, *c.reply ? TextFrames(1, {c.reply}) : std::vector<Frame>{});
        EXPECT_EQ(RevertiveCounter, static_cast<uint32_t>(c.revertives));
    }
}

TEST_F(VistekTest, TallyIsReportedOnceAndOnlyWhenItChanges)
{
    Feed(1, Text(".SV12,5\r.SV12,5\r.SV13,7\r"));
    EXPECT_EQ(Routing.TallyTable[12], 5);
    EXPECT_EQ(Routing.TallyTable[13], 7);
    ExpectRevertives({"RR 007 012 005", "RR 007 013 007"});
}

TEST_F(VistekTest, RevertiveDelayPendsTheTally)
{
    Profile.RevertiveDelay = 500;
    Feed(1, Text(".SV12,5\r"));
    EXPECT_EQ(Routing.PendingTable[12], 5);
    EXPECT_EQ(Routing.TallyTable[12], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(VistekTest, AnyCrBringsAFailedPortBack)
{
    for (const char *bytes : {"garbage\r", ".Q\r", ".SV12,5\r"}) {
        SCOPED_TRACE(bytes);
        Start();
        Ports.CommsFail[1] = 1;
        Feed(1, Text(bytes));
        EXPECT_EQ(Ports.CommsFail[1], 0);
        EXPECT_GE(Ports.ErrorCount[1], 1u);  // the ok report counts, like any NotePortError
    }
}

TEST_F(VistekTest, NoReplyCountClearsOnlyForALineWithAFullStop)
{
    Ports.NoReply[1] = 3;
    Feed(1, Text("garbage\r"));
    EXPECT_EQ(Ports.NoReply[1], 3);
    EXPECT_NE(Proto.RxCount[1], 0);  // the bytes wait for a full stop
    Feed(1, Text(".SZ1,1\r"));
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Proto.RxCount[1], 0);
}

TEST_F(VistekTest, LineAfterLeftoverBytesAndAcrossTheBufferEnd)
{
    Feed(1, Text("junk\r"));
    Feed(1, Text(".SV12,5\r"));
    EXPECT_EQ(Routing.TallyTable[12], 5);

    Start();
    Feed(1, std::vector<uint8_t>(250, 'x'));  // the line wraps from byte 255 to 0
    Feed(1, Text(".SV12,6\r"));
    EXPECT_EQ(Routing.TallyTable[12], 6);

    Start();
    Feed(1, std::vector<uint8_t>(300, 'x'));  // the write index has wrapped already
    Feed(1, Text(".SV12,7\r"));
    EXPECT_EQ(Routing.TallyTable[12], 7);
}

TEST_F(VistekTest, HostileBytesStayInsideTheBuffer)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 2000; ++i)
        bytes.push_back(static_cast<uint8_t>(i * 37 + 11));
    bytes.push_back('\r');
    Feed(1, bytes);
    for (int d = 1; d <= 32; ++d)
        EXPECT_TRUE(Routing.TallyTable[d] >= -1 && Routing.TallyTable[d] <= 16) << d;
    EXPECT_GE(Proto.RxCount[1], 0);
    EXPECT_LT(Proto.RxCount[1], 256);
}

TEST_F(VistekTest, RoundTripWithTheSimulatedRouter)
{
    SimRouter r = MakeRouter(16, 32, 1);
    r.options.push_back("ack=1");
    SimSetXpt(r, 0, 12, 9);
    ProtocolTable[kVistek]->poll(12);
    Exchange(SimVistek, r, 1);
    EXPECT_EQ(Routing.TallyTable[12], 9);

    RouteDispatch(4, 12);
    Exchange(SimVistek, r, 1);  // tally back, then the router asks for an ack
    EXPECT_EQ(SimXpt(r, 0, 12), 4);
    EXPECT_EQ(Routing.TallyTable[12], 4);
    EXPECT_EQ(Sent, TextFrames(1, {".A\r"}));
    Exchange(SimVistek, r, 1);
    EXPECT_EQ(SimLines.back(), "ACK");

    SimSetXpt(r, 0, 20, 2);
    SimVistek.announce(r, 20);
    Exchange(SimVistek, r, 1);
    EXPECT_EQ(Routing.TallyTable[20], 2);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}
