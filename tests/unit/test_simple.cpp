// SIMPLE protocol on a real line: requests, the answers read back from the
// comms library's ring, late bytes, the diagnostic line and the simulated
// router.
#include "router_harness.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "reply_line.h"
#include "tools/routersim/sim_simple.cpp"

using namespace bench;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSimple = 3;
using line::Case;
using line::kUntouched;

class Simple : public line::LineTest<kSimple, 200> {};

TEST_F(Simple, RequestsAndAnswers)
{
    const Case cases[] = {
        {"poll 3: 02 sent, answer 04 is source 5", false, 0, 3, {{0x04}}, {{1, {0x02}}}, 5, 0, 1},
        {"route 5 to 3: 82 04, then 02; each answered", true, 5, 3, {{0x04}, {0x04}},
         {{1, {0x82, 0x04}}, {1, {0x02}}}, 5, 0, 1},
        {"route of source 0: second byte FF", true, 0, 3, {{0xFF}, {0xFF}},
         {{1, {0x82, 0xFF}}, {1, {0x02}}}, -1, 1, 1},
        {"route left unanswered, interrogate answered", true, 5, 3, {{}, {0x04}},
         {{1, {0x82, 0x04}}, {1, {0x02}}}, 5, 0, 1},
        {"answer FF: no source, one error", false, 0, 3, {{0xFF}}, {{1, {0x02}}}, -1, 1, 1},
        {"answer equal to the tally: nothing", false, 0, 3, {{0x06}}, {{1, {0x02}}}, kUntouched,
         0, 0},
        {"answer beyond the sources becomes -1", false, 0, 3, {{0x80}}, {{1, {0x02}}}, -1, 0, 1},
        {"answer 00 is source 1", false, 0, 1, {{0x00}}, {{1, {0x00}}}, 1, 0, 1},
        {"no answer: nothing changes", false, 0, 3, {}, {{1, {0x02}}}, kUntouched, 0, 0},
        {"wire destination 127 is the last", false, 0, 128, {{0x01}}, {{1, {0x7F}}}, 2, 0, 1},
        {"a destination past wire 127 is not asked", false, 0, 129, {}, {}, kUntouched, 0, 0},
        {"a route to it is not sent", true, 5, 129, {}, {}, kUntouched, 0, 0},
        {"no port serves the destination", false, 0, 300, {}, {}, kUntouched, 0, 0},
    };
    for (const auto &c : cases)
        RunCase(c);
}

// A port that failed to open has no ring that could ever fill: its
// requests must not wait for an answer.  Waiting, these 50 reads would take
// 50 x 40 ms.
TEST_F(Simple, PortThatFailedToOpenDoesNotWait)
{
    Ports.CommIndex[1] = -1;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 25; ++i) {
        ProtocolTable[kSimple]->poll(3);
        ProtocolTable[kSimple]->route(5, 3);  // and its poll
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    EXPECT_EQ(Routing.TallyTable[3], kUntouched);
}

TEST_F(Simple, MinDestShiftsTheWireDestination)
{
    UsePort(1, kSimple, 11, 200);
    RunCase({"MinDest 11: destination 13 is wire 2", false, 0, 13, {{0x04}}, {{1, {0x02}}}, 5, 0, 1});
}

TEST_F(Simple, RevertiveDelayDoesNotApply)
{
    Profile.RevertiveDelay = 500;
    RunCase({"answer 04 goes straight to the table", false, 0, 3, {{0x04}}, {{1, {0x02}}}, 5, 0, 1});
    EXPECT_EQ(Routing.PendingTable[3], 0);
}

// A byte still in the ring when a request starts answers an earlier
// request; taken for this one it would put another destination's source here.
TEST_F(Simple, LateBytesAreNotTakenForTheAnswer)
{
    line::Deliver({0x09});
    RunCase({"late 09 dropped, answer 04 taken", false, 0, 3, {{0x04}}, {{1, {0x02}}}, 5, 0, 1});
}

TEST_F(Simple, AnAnswerBringsAFailedPortBack)
{
    Ports.CommsFail[1] = 1;
    Ports.NoReply[1] = 9;
    line::Script = {{0x04}};
    ProtocolTable[kSimple]->poll(3);
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u);  // the "ok" report counts
    EXPECT_EQ(Ports.NoReply[1], 0);
}

TEST_F(Simple, AnswerFFLeavesTheNoReplyCount)
{
    line::Script = {{0xFF}};
    ProtocolTable[kSimple]->poll(3);
    EXPECT_EQ(Ports.NoReply[1], 1);  // the request's own transmission
    line::Script = {{0x04}};
    ProtocolTable[kSimple]->poll(3);
    EXPECT_EQ(Ports.NoReply[1], 0);
}

// What fn writes to the debugger channel, whatever the fixture's sink.
std::string DebugChannel(const std::function<void()> &fn)
{
    static std::string text;
    text.clear();
    SetDebugSink([](const char *line) { text += line; });
    fn();
    SetDebugSink(nullptr);
    return text;
}

TEST_F(Simple, RequestLinesReachTheDebugChannelEvenWithDebugOff)
{
    Profile.DebugMode = 0;
    line::Script = {{0x04}, {0x04}};
    std::string text = DebugChannel([] { ProtocolTable[kSimple]->route(5, 3); });
    EXPECT_EQ(text, "<WE>-[Port 1] *-*-*-* Tx 82 04- \n<WE>-[Port 1] *-*-*-* Tx 02 - \n");
}

// ---- With the simulated router on the line ----

TEST_F(Simple, SimulatedRouter)
{
    SimRouter r = MakeRouter(100, 200, 1);
    SimSetXpt(r, 0, 3, 5);
    SimSetXpt(r, 0, 4, 6);
    line::Sim = &SimSimple;
    line::Router = &r;
    ProtocolTable[kSimple]->poll(3);
    EXPECT_EQ(Routing.TallyTable[3], 5);
    ProtocolTable[kSimple]->route(9, 3);
    EXPECT_EQ(SimXpt(r, 0, 3), 9);
    EXPECT_EQ(Routing.TallyTable[3], 9);
    // The route's own answer was taken with it: the next destination gets its own.
    ProtocolTable[kSimple]->poll(4);
    EXPECT_EQ(Routing.TallyTable[4], 6);
    ProtocolTable[kSimple]->poll(5);  // unknown crosspoint: FF
    EXPECT_EQ(Routing.TallyTable[5], -1);
    ProtocolTable[kSimple]->route(0, 4);  // park
    EXPECT_EQ(SimXpt(r, 0, 4), 0);
    EXPECT_EQ(line::InRing(), 0);
}

TEST_F(Simple, SimulatedRouterBytes)
{
    SimRouter r = MakeRouter(100, 200, 1);
    SimSetXpt(r, 0, 3, 5);
    SimSimple.byte(r, 0x02);
    EXPECT_EQ(SimOutput, Bytes{0x04});
    SimOutput.clear();
    SimSimple.byte(r, 0x82);
    EXPECT_TRUE(SimOutput.empty());  // waits for the source byte
    SimSimple.byte(r, 0x0B);
    EXPECT_EQ(SimOutput, Bytes{0x0B});
    EXPECT_EQ(SimXpt(r, 0, 3), 12);
}

}  // namespace
