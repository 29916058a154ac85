// LEITCH: take and status-query commands, the poll preamble, status lines,
// the debug lines, CommandsEnabled on receive and 2741 to an external driver.
#include "router_harness.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "tools/routersim/sim_leitch.cpp"

using namespace bench;

namespace {

constexpr uint8_t kLeitch = 13;
const ProtocolOps &Ops() { return *ProtocolTable[13]; }
const char kPreamble[] = "@ ?\rT F\r";

class Leitch : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        Profile.LeitchLevel = 1;
        UsePort(1, kLeitch, 1, 100);
        UsePort(2, kLeitch, 101, 256);
    }
    void TearDown() override { Finish(); }
};

std::string AsText(const Frame &f) { return std::string(f.bytes.begin(), f.bytes.end()); }

TEST_F(Leitch, TakeCommand)
{
    Ops().route(11, 32);
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0].port, 1);
    EXPECT_EQ(AsText(Sent[0]), "@ X:1/1F,A\r");
    std::vector<std::string> lines = DebugLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Router Connect 10 31");
    EXPECT_EQ(lines[1], "@ X:1/1F,A\r") << "the command is printed as sent";
    EXPECT_EQ(Routing.TallyTable[32], 0) << "the status line sets the table, not the take";
}

struct WireCase {
    const char *what;
    int32_t level;
    bool route;
    int32_t source;
    int32_t dest;
    int port;
    const char *command;
};

TEST_F(Leitch, CommandsInUpperCaseHex)
{
    const WireCase cases[] = {
        {"take on the second port", 1, true, 256, 200, 2, "@ X:1/63,FF\r"},
        {"level above 9 in hex", 12, true, 1, 1, 1, "@ X:C/0,0\r"},
        {"query of destination 27", 1, false, 0, 27, 1, "@ X?11A\r"},
        {"query of the port's first destination", 1, false, 0, 101, 2, "@ X?10\r"},
        {"query with a two-digit level", 0x1B, false, 0, 16, 1, "@ X?1BF\r"},
    };
    for (const auto &c : cases) {
        Sent.clear();
        Profile.LeitchLevel = c.level;
        if (c.route) {
            Ops().route(c.source, c.dest);
            ASSERT_EQ(Sent.size(), 1u) << c.what;
            EXPECT_EQ(AsText(Sent[0]), c.command) << c.what;
        } else {
            Ops().poll(c.dest);
            ASSERT_EQ(Sent.size(), 2u) << c.what;
            EXPECT_EQ(AsText(Sent[0]), kPreamble) << c.what;
            EXPECT_EQ(AsText(Sent[1]), c.command) << c.what;
        }
        for (const auto &f : Sent)
            EXPECT_EQ(f.port, c.port) << c.what;
    }
}

struct LineCase {
    const char *what;
    int port;
    const char *bytes;
    std::map<int, int> tallies;
    uint32_t revertives;
    int32_t commandsEnabled;
};

TEST_F(Leitch, StatusLines)
{
    const LineCase cases[] = {
        {"status line sets the tally", 1, "S:11F,A\r", {{32, 11}}, 1, 1},
        {"second port adds its MinDest", 2, "S:11F,A\r", {{132, 11}}, 1, 1},
        {"X as source means nothing routed", 1, "S:11F,X\r", {{32, -1}}, 1, 1},
        {"line feeds are skipped", 1, "S:11F,\nA\n\r", {{32, 11}}, 1, 1},
        {"lower-case hex is read", 1, "S:11f,a\r", {{32, 11}}, 1, 1},
        {"two lines in a row", 1, "S:10,0\rS:11,1\r", {{1, 1}, {2, 2}}, 2, 1},
        {"four characters are too short but enable commands", 1, "S:1F\r", {}, 0, 1},
        {"three characters enable commands", 1, "S:1\r", {}, 0, 1},
        {"two characters are not a line", 1, "S:\r", {}, 0, 0},
        {"other lines are ignored", 1, "T:11F,A\r", {}, 0, 1},
        {"destination past the count is ignored", 2, "S:1FF,A\r", {}, 0, 1},
        {"source past the count is no source", 1, "S:11F,40\r", {{32, -1}}, 1, 1},
        {"unreadable destination ignored", 1, "S:1,A,B\r", {}, 0, 1},
        {"unreadable source ignored", 1, "S:11F,\r", {}, 0, 1},
        {"a line is not used before its CR", 1, "S:11F,A", {}, 0, 0},
        // Read as "%x,%x" reads them.
        {"blank after the comma", 1, "S:11F, A\r", {{32, 11}}, 1, 1},
        {"blank before the destination", 1, "S:1 1F,A\r", {{32, 11}}, 1, 1},
        {"signs", 1, "S:1+1F,+A\r", {{32, 11}}, 1, 1},
        {"0x prefixes", 1, "S:10x1F,0XA\r", {{32, 11}}, 1, 1},
        {"blank before the comma", 1, "S:11F ,A\r", {}, 0, 1},
        {"FFFFFFFE is below parking", 1, "S:11F,FFFFFFFE\r", {{32, -1}}, 1, 1},
        {"a source past 32 bits is no source", 1, "S:11F,1FFFFFFFF\r", {{32, -1}}, 1, 1},
        {"a destination below the port is not on it", 2, "S:1-1,A\r", {}, 0, 1},
        {"a destination past 32 bits", 1, "S:1100000001F,A\r", {}, 0, 1},
    };
    for (const auto &c : cases) {
        Reset();
        Profile.LeitchLevel = 1;
        UsePort(1, kLeitch, 1, 100);
        UsePort(2, kLeitch, 101, 256);
        Feed(c.port, Text(c.bytes));
        for (int d = 1; d <= 256; ++d) {
            auto it = c.tallies.find(d);
            EXPECT_EQ(Routing.TallyTable[d], it == c.tallies.end() ? 0 : it->second)
                << c.what << ": destination " << d;
        }
        EXPECT_EQ(RevertiveCounter, c.revertives) << c.what;
        EXPECT_EQ(Commands.CommandsEnabled, c.commandsEnabled) << c.what;
        EXPECT_EQ(Ports.ErrorCount[c.port], 0u) << c.what;
    }
}

// The fields of a status line come out as sscanf's "%x,%x" gives them,
// whatever blanks, signs and prefixes stand around the digits.
TEST_F(Leitch, StatusFieldsReadAsScanfReadsThem)
{
    const char *fields[] = {"1F,A", "1F, A", " 1F,A", "1F,+A", "+1F,a", "1F,-1", "0x1F,0XA",
                            "1F,\tA", "1F,FFFFFFFF", "1F,-2", "1F ,A", "1F,", "1F,-", "G,1",
                            "-0,5", "1F,7FFFFFFF", "1F,80000000"};
    for (const char *f : fields) {
        SCOPED_TRACE(f);
        Reset();
        Profile.LeitchLevel = 1;
        UsePort(1, kLeitch, 1, 100);
        Routing.TallyTable[32] = 5;
        Feed(1, Text((std::string("S:1") + f + "\r").c_str()));
        unsigned d = 0, s = 0;
        if (std::sscanf(f, "%x,%x", &d, &s) != 2) {
            EXPECT_EQ(RevertiveCounter, 0u);
            continue;
        }
        int32_t dest = static_cast<int32_t>(d) + 1;
        int64_t source = int64_t{static_cast<int32_t>(s)} + 1;
        EXPECT_EQ(Routing.TallyTable[dest], IsValidSource(static_cast<int32_t>(source))
                                                ? static_cast<int32_t>(source)
                                                : -1);
    }
}

// A router echoing a parked output sends its source, 0 minus 1, as
// FFFFFFFF: source 0.
TEST_F(Leitch, RouterEchoingAPark)
{
    Routing.TallyTable[32] = 11;
    Feed(1, Text("S:11F,FFFFFFFF\r"));
    EXPECT_EQ(Routing.TallyTable[32], 0);
    EXPECT_EQ(RevertiveCounter, 1u);

    SimRouter r = MakeRouter(64, 256, 1);
    SimSetXpt(r, 0, 27, 4);
    Routing.TallyTable[27] = 4;
    RouteDispatch(0, 27);  // "@ X:1/1A,FFFFFFFF"
    Exchange(SimLeitch, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 27), 0);
    EXPECT_EQ(Routing.TallyTable[27], 0);
}

TEST_F(Leitch, StatusLineDebugOutput)
{
    Feed(1, Text("S:11F,A\r"));
    EXPECT_EQ(DebugLines(), (std::vector<std::string>{"S:11F,A", "Result -> 1/20,b"}));
    Events.clear();
    Feed(1, Text("S:11F,X\r"));
    EXPECT_EQ(DebugLines(), (std::vector<std::string>{"S:11F,X", "Result -> 1/20,ffffffff"}));
    Events.clear();
    Feed(1, Text("T:11F,A\r"));
    EXPECT_TRUE(DebugLines().empty()) << "ignored lines print nothing";
}

TEST_F(Leitch, RepeatedStatusReportsNothing)
{
    Feed(1, Text("S:11F,A\rS:11F,A\r"));
    EXPECT_EQ(RevertiveCounter, 1u);
    if (ZoltDelivers) {
        EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 032 011"});
    }
}

TEST_F(Leitch, OverlongLineRestartsAtIndexOne)
{
    std::string noise(255, 'Q');
    Feed(1, Text(noise.c_str()));
    EXPECT_EQ(Proto.RxCount[1], 255);
    // The byte that finds the line full is dropped; the first character of
    // the old line stays in front of the new one.
    Feed(1, Text("x:11F,A\r"));
    EXPECT_EQ(Routing.TallyTable[32], 0) << "QS... is not a status line";
    Feed(1, std::vector<uint8_t>(255, 'S'));
    Feed(1, Text("x:11F,A\r"));
    EXPECT_EQ(Routing.TallyTable[32], 11) << "S kept at index 0, then :11F,A";
}

TEST_F(Leitch, EveryByteIsSignOfLife)
{
    Ports.CommsFail[1] = 1;
    Ports.NoReply[1] = 7;
    Feed(1, {'z'});
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u) << "the ok report";
    Feed(1, Text("zz\r"));
    EXPECT_EQ(Ports.ErrorCount[1], 1u) << "a healthy port is not reported again";
}

TEST_F(Leitch, RevertiveDelayPendsAndSendsNoTally)
{
    Shell.ExternalDriverWindow = External;
    Profile.RevertiveDelay = 300;
    Feed(1, Text("S:11F,A\r"));
    EXPECT_EQ(Routing.PendingTable[32], 11);
    EXPECT_EQ(Routing.TallyTable[32], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
    EXPECT_TRUE(To(External, 2741).empty());
}

TEST_F(Leitch, ChangedTallyGoesToExternalDriver)
{
    if (!ZoltDelivers)
        GTEST_SKIP() << "ZOLT32TxMessage does not reach local windows yet";
    Shell.ExternalDriverWindow = External;
    Feed(1, Text("S:11F,A\rS:11F,A\rS:10,X\r"));
    EXPECT_EQ(TalliesToExternal(), (std::vector<std::pair<int, int>>{{32, 11}, {1, -1}}));
    Inbox.clear();
    Profile.DriverMode = kDriverExternal;
    Feed(1, Text("S:11F,3\r"));
    EXPECT_TRUE(To(External, 2741).empty()) << "only in INTERNAL mode";
}

TEST_F(Leitch, SimulatedRouterTakesRoutesAndAnswersQueries)
{
    SimRouter r = MakeRouter(64, 256, 1);
    SimSetXpt(r, 0, 27, 4);

    RouteDispatch(11, 32);
    Exchange(SimLeitch, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 32), 11);
    EXPECT_EQ(Routing.TallyTable[32], 11);

    Ops().poll(27);
    Exchange(SimLeitch, r, 1);
    EXPECT_EQ(Routing.TallyTable[27], 4);
    EXPECT_NE(std::find(SimLines.begin(), SimLines.end(), "RX 40 20 3F"), SimLines.end())
        << "the preamble's first line reached the router";

    SimLeitch.announce(r, 50);  // nothing routed there: ",X"
    Exchange(SimLeitch, r, 1);
    EXPECT_EQ(Routing.TallyTable[50], -1);

    Profile.LeitchLevel = 2;  // a level this router does not have
    RouteDispatch(3, 32);
    Exchange(SimLeitch, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 32), 11);
    EXPECT_EQ(SimLines.back(), "IGNORED level 2");
}

}  // namespace
