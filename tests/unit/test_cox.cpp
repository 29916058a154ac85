// COX protocol on a real line: requests with their checksums, the answers
// read back from the comms library's ring and the rest thrown away, late
// bytes, and the simulated router.
#include "router_harness.h"

#include <chrono>
#include <string>
#include <vector>

#include "reply_line.h"
#include "tools/routersim/sim_cox.cpp"

using namespace bench;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCox = 4;
using line::Case;
using line::kUntouched;

class Cox : public line::LineTest<kCox, 300> {};

const Frame kPoll12 = {1, {0x02, 0x0B, 0xF3}};
const Frame kRoute5To12 = {1, {0x01, 0x04, 0x0B, 0xF0}};

TEST_F(Cox, RequestsAndAnswers)
{
    const Case cases[] = {
        {"poll 12: answer 04 FC is source 5", false, 0, 12, {{0x04, 0xFC}}, {kPoll12}, 5, 0, 1},
        {"route 5 to 12 acknowledged", true, 5, 12, {{0x04}}, {kRoute5To12}, 5, 0, 1},
        {"route of source 0: wire FF", true, 0, 12, {{0x04}}, {{1, {0x01, 0xFF, 0x0B, 0xF5}}}, 0,
         0, 1},
        {"answer 04 FD: wrong checksum", false, 0, 12, {{0x04, 0xFD}}, {kPoll12}, kUntouched, 1,
         0},
        {"route answered with another byte", true, 5, 12, {{0x15}}, {kRoute5To12}, kUntouched, 1,
         0},
        {"a one-byte answer changes nothing", false, 0, 12, {{0x04}}, {kPoll12}, kUntouched, 0, 0},
        {"no answer to a poll", false, 0, 12, {}, {kPoll12}, kUntouched, 0, 0},
        {"no answer to a route", true, 5, 12, {}, {kRoute5To12}, kUntouched, 0, 0},
        {"answer equal to the tally", false, 0, 12, {{0x06, 0xFA}}, {kPoll12}, kUntouched, 0, 0},
        {"answer FF 01 is source 256: -1", false, 0, 12, {{0xFF, 0x01}}, {kPoll12}, -1, 0, 1},
        {"extra bytes after the answer are thrown away", false, 0, 12,
         {{0x04, 0xFC, 0x11, 0x22, 0x33}}, {kPoll12}, 5, 0, 1},
        {"extra bytes after an acknowledge too", true, 5, 12, {{0x04, 0x04, 0x04}},
         {kRoute5To12}, 5, 0, 1},
        {"extra bytes after a bad answer too", false, 0, 12, {{0x04, 0xFD, 0x04, 0xFC}},
         {kPoll12}, kUntouched, 1, 0},
        {"wire destination 255 is the last", false, 0, 256, {{0x00, 0x00}},
         {{1, {0x02, 0xFF, 0xFF}}}, 1, 0, 1},
        {"a destination past wire 255 is not asked", false, 0, 257, {}, {}, kUntouched, 0, 0},
        {"a route to it is not sent", true, 5, 257, {}, {}, kUntouched, 0, 0},
    };
    for (const auto &c : cases)
        RunCase(c);
}

// A port that failed to open has no ring that could ever fill: its
// requests must not wait for an answer.  Waiting, these 40 reads would take
// 40 x 100 ms.
TEST_F(Cox, PortThatFailedToOpenDoesNotWait)
{
    Ports.CommIndex[1] = -1;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        ProtocolTable[kCox]->poll(12);
        ProtocolTable[kCox]->route(5, 12);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    EXPECT_EQ(Routing.TallyTable[12], kUntouched);
}

TEST_F(Cox, RevertiveDelayPendsTheTally)
{
    Profile.RevertiveDelay = 500;
    RunCase({"poll", false, 0, 12, {{0x04, 0xFC}}, {kPoll12}, kUntouched, 0, 0});
    EXPECT_EQ(Routing.PendingTable[12], 5);
    Routing.PendingTable[12] = 0;
    RunCase({"route", true, 5, 12, {{0x04}}, {kRoute5To12}, kUntouched, 0, 0});
    EXPECT_EQ(Routing.PendingTable[12], 5);
}

TEST_F(Cox, LateBytesAreNotTakenForTheAnswer)
{
    line::Deliver({0x09, 0xF7});  // a whole answer, too late for its own request
    RunCase({"late answer dropped", false, 0, 12, {{0x04, 0xFC}}, {kPoll12}, 5, 0, 1});
}

TEST_F(Cox, PollBringsAFailedPortBackRouteDoesNot)
{
    Ports.CommsFail[1] = 1;
    line::Script = {{0x04}};
    ProtocolTable[kCox]->route(5, 12);
    EXPECT_EQ(Ports.CommsFail[1], 1);
    line::Script = {{0x04}};  // even a lone first byte is a sign of life
    ProtocolTable[kCox]->poll(12);
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.NoReply[1], 0);
}

TEST_F(Cox, AcknowledgeByteOnTheDebugOutput)
{
    line::Script = {{0x04}};
    ProtocolTable[kCox]->route(5, 12);
    EXPECT_TRUE(HasDebug("Byte = 04"));
}

// ---- With the simulated router on the line ----

TEST_F(Cox, SimulatedRouter)
{
    SimRouter r = MakeRouter(100, 300, 1);
    SimSetXpt(r, 0, 12, 5);
    line::Sim = &SimCox;
    line::Router = &r;
    ProtocolTable[kCox]->poll(12);
    EXPECT_EQ(Routing.TallyTable[12], 5);
    ProtocolTable[kCox]->route(9, 12);
    EXPECT_EQ(SimXpt(r, 0, 12), 9);
    EXPECT_EQ(Routing.TallyTable[12], 9);
    ProtocolTable[kCox]->route(0, 12);  // park
    EXPECT_EQ(SimXpt(r, 0, 12), 0);
    EXPECT_EQ(Routing.TallyTable[12], 0);
    ProtocolTable[kCox]->poll(13);  // unknown crosspoint: FF, source 256
    EXPECT_EQ(Routing.TallyTable[13], -1);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}

TEST_F(Cox, SimulatedRouterBytes)
{
    SimRouter r = MakeRouter(100, 300, 1);
    SimSetXpt(r, 0, 12, 5);
    for (uint8_t b : Bytes{0x02, 0x0B, 0xF3})
        SimCox.byte(r, b);
    EXPECT_EQ(SimOutput, (Bytes{0x04, 0xFC}));
    SimOutput.clear();
    for (uint8_t b : Bytes{0x02, 0x0B, 0xF4})
        SimCox.byte(r, b);
    EXPECT_TRUE(SimOutput.empty());
    EXPECT_EQ(SimLines.back(), "BAD checksum");
    for (uint8_t b : Bytes{0x01, 0x06, 0x0B, 0xEE})
        SimCox.byte(r, b);
    EXPECT_EQ(SimOutput, Bytes{0x04});
    EXPECT_EQ(SimXpt(r, 0, 12), 7);
    SimOutput.clear();
    for (uint8_t b : Bytes{0x01, 0xFE, 0x0B, 0xF6})  // source 255: beyond the router
        SimCox.byte(r, b);
    EXPECT_EQ(SimOutput, Bytes{0x15});
}

}  // namespace
