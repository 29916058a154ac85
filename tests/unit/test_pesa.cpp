// PESA protocol: literal take and status-request commands with their
// checksums, the revertive-line parser fed byte by byte, the comms state.
#include "router_harness.h"

#include <string>
#include <vector>

#include "tools/routersim/sim_pesa.cpp"

using namespace bench;

namespace {

using Sent = SentLine;

constexpr uint8_t kPesa = 15;
constexpr int32_t kUntouched = 7;  // every tally before a test

class Pesa : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        Profile.DatabaseSize_0 = 100;
        Profile.DatabaseSize_1 = 150;
        UsePort(1, kPesa, 1, 100);
        UsePort(2, kPesa, 101, 150);
        for (int d = 1; d <= 150; ++d)
            Routing.TallyTable[d] = kUntouched;
    }
    void TearDown() override { Finish(); }
    static void FeedText(int port, const std::string &text)
    {
        Feed(port, std::vector<uint8_t>(text.begin(), text.end()));
    }
};

TEST_F(Pesa, TakeAndStatusCommands)
{
    struct Case {
        const char *what;
        bool route;
        int32_t source, dest;
        std::vector<Sent> expected;
    } cases[] = {
        {"status request for destination 1", false, 0, 1, {{1, "Y001>:\r\n"}}},
        {"take 2 to 1, then its status", true, 2, 1, {{1, "H0010026;\r\n"}, {1, "Y001>:\r\n"}}},
        {"take 34 to 12, then its status", true, 34, 12,
         {{1, "H01203472\r\n"}, {1, "Y012><\r\n"}}},
        {"MinDest 101: destination 101 is 001 on port 2", false, 0, 101, {{2, "Y001>:\r\n"}}},
        {"park source", true, 0, 1, {{1, "H00100069\r\n"}, {1, "Y001>:\r\n"}}},
        {"no port serves the destination", false, 0, 300, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bench::Sent.clear();
        if (c.route)
            ProtocolTable[kPesa]->route(c.source, c.dest);
        else
            ProtocolTable[kPesa]->poll(c.dest);
        EXPECT_EQ(SentTexts(), c.expected);
    }
}

// Three-digit fields: a number that does not fit is not sent, rather than
// stretching the command past its framing.
TEST_F(Pesa, NumbersBeyondThreeDigitsAreNotSent)
{
    UsePort(1, kPesa, 1, 1200);
    Profile.DatabaseSize_0 = 1200;
    Profile.DatabaseSize_1 = 1200;
    ProtocolTable[kPesa]->poll(1000);
    ProtocolTable[kPesa]->route(1000, 5);
    EXPECT_TRUE(bench::Sent.empty());
    ProtocolTable[kPesa]->poll(999);
    ASSERT_EQ(SentTexts().size(), 1u);
    EXPECT_EQ(SentTexts()[0].text.substr(0, 4), "Y999");
}

TEST_F(Pesa, RevertiveLines)
{
    struct Case {
        const char *what;
        int port;
        std::string bytes;
        int32_t dest, tally;  // TallyTable[dest] afterwards
        uint32_t revertives;
    } cases[] = {
        {"destination 12 carries 34", 1, "01201034\r\n", 12, 34, 1},
        {"MinDest 101: the same line is destination 112", 2, "01201034\r\n", 112, 34, 1},
        {"a line beginning with 1 is ignored", 1, "10001034\r\n", 100, kUntouched, 0},
        {"LF alone ends the line", 1, "01201034\n", 12, 34, 1},
        {"invalid source becomes -1", 1, "01201999\r\n", 12, -1, 1},
        {"park source", 1, "01201000\r\n", 12, 0, 1},
        {"destination beyond the count", 2, "09901034\r\n", 199, 0, 0},
        {"same tally as before", 1, "01201007\r\n", 12, kUntouched, 0},
        {"a damaged line names nothing", 1, "012ab\r\n", 12, kUntouched, 0},
        {"a line cut short names nothing", 1, "0120\r\n", 12, kUntouched, 0},
        {"no LF, no tally", 1, "01201034\r", 12, kUntouched, 0},
        {"a lone 0 names nothing", 1, "0\r\n", 1, kUntouched, 0},
        {"two lines back to back", 1, "01201034\r\n01301035\r\n", 13, 35, 2},
        {"an overlong line wraps and is dropped", 1, "0" + std::string(300, 'x') + "\r\n", 1,
         kUntouched, 0},
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

TEST_F(Pesa, DebugLines)
{
    FeedText(1, "01201034\r\n");
    EXPECT_TRUE(HasDebug("Revertive 12 1 34"));
    Events.clear();
    ProtocolTable[kPesa]->poll(1);
    ASSERT_FALSE(DebugLines().empty());
    EXPECT_EQ(DebugLines()[0], "Y001>:\r\n");  // the whole command, CR LF included
}

TEST_F(Pesa, RevertiveDelayPendsTheTally)
{
    Profile.RevertiveDelay = 500;
    FeedText(1, "01201034\r\n");
    EXPECT_EQ(Routing.TallyTable[12], kUntouched);
    EXPECT_EQ(Routing.PendingTable[12], 34);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(Pesa, AnyByteIsASignOfLife)
{
    Ports.NoReply[1] = 4;
    FeedText(1, "x");
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
    Ports.CommsFail[1] = 1;
    Ports.NoReply[1] = 4;
    FeedText(1, "y");
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u);  // the "ok" report counts
}

}  // namespace

// ---- With the simulated router ----

namespace {

std::string SimText() { return std::string(SimOutput.begin(), SimOutput.end()); }

void SimFeed(SimRouter &r, const std::string &text)
{
    for (char c : text)
        SimPesa.byte(r, static_cast<uint8_t>(c));
}

TEST_F(Pesa, SimulatedRouterAnswersPollsAndRoutes)
{
    SimRouter r = MakeRouter(100, 150, 1);
    SimSetXpt(r, 0, 12, 34);
    ProtocolTable[kPesa]->poll(12);
    Exchange(SimPesa, r, 1);
    EXPECT_EQ(Routing.TallyTable[12], 34);
    ProtocolTable[kPesa]->route(2, 1);
    Exchange(SimPesa, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 1), 2);
    EXPECT_EQ(Routing.TallyTable[1], 2);
}

TEST_F(Pesa, SimulatedRouterBehindASecondPort)
{
    SimRouter r = MakeRouter(100, 150, 101);
    SimSetXpt(r, 0, 112, 34);
    ProtocolTable[kPesa]->poll(112);
    Exchange(SimPesa, r, 2);
    EXPECT_EQ(Routing.TallyTable[112], 34);
}

TEST_F(Pesa, SimulatedRouterLines)
{
    SimRouter r = MakeRouter(100, 150, 1);
    SimSetXpt(r, 0, 12, 34);
    SimFeed(r, "Y012><\r\n");
    EXPECT_EQ(SimText(), "01201034\r\n");
    SimOutput.clear();
    SimFeed(r, "Y012>=\r\n");
    EXPECT_TRUE(SimOutput.empty());
    EXPECT_EQ(SimLines.back(), "BAD checksum");
    SimFeed(r, "H0010026;\r\n");
    EXPECT_TRUE(SimOutput.empty());  // a take is not answered
    EXPECT_EQ(SimXpt(r, 0, 1), 2);
    SimPesa.announce(r, 3);  // unknown crosspoint: reported as source 0
    EXPECT_EQ(SimText(), "00301000\r\n");
}

}  // namespace
