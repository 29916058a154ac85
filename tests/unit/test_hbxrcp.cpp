// HBXRCP: the frames the driver sends and the tally lines it takes, as
// literal bytes on the wire.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "platform/debug.h"
#include "shell/shell.h"
#include "tests/support/modules.h"
#include "ui/maindlg.h"

namespace {

struct Frame {
    int port;
    std::string bytes;
    bool operator==(const Frame &) const = default;
};
std::vector<Frame> Sent;

void Capture(int port, const uint8_t *bytes, int length)
{
    Sent.push_back({port, std::string(reinterpret_cast<const char *>(bytes),
                                      static_cast<size_t>(length))});
}

void Quiet(const char *) {}

LRESULT VekProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

class HbxrcpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetModules();
        SetDebugSink(Quiet);
        Shell.DriverId = 7;
        UseHbxrcp16x32(1);
        Link.TxRxMode = 2;  // revertives leave the driver (and are counted)
        Link.VekWindow = CreateWindowProc(VekProc, false);
        Sent.clear();
        SetPortTransmitHook(Capture);
    }
    void TearDown() override
    {
        SetPortTransmitHook(nullptr);
        SetDebugSink(nullptr);
    }
    static void Feed(const std::string &bytes, int port = 1)
    {
        for (char c : bytes)
            ReceiveDispatch(port, static_cast<uint8_t>(c));
    }
};

TEST_F(HbxrcpTest, RouteSendsOneSetCommandPerLevel)
{
    Profile.HBXRCP_Levels = 3;
    RouteDispatch(5, 12);
    EXPECT_EQ(Sent, (std::vector<Frame>{{1, ".SA12,5\r"}, {1, ".SB12,5\r"}, {1, ".SC12,5\r"}}));
    EXPECT_EQ(Routing.TallyTable[12], 0) << "the tally waits for the router's reply";

    Sent.clear();
    Profile.HBXRCP_Levels = 0;
    RouteDispatch(5, 12);
    EXPECT_TRUE(Sent.empty());
}

TEST_F(HbxrcpTest, LevelLettersGoOnPastZButStopAtTheLastByte)
{
    Profile.HBXRCP_Levels = 100000;
    RouteDispatch(5, 12);
    ASSERT_EQ(Sent.size(), 191u) << "levels 1..191 are letters 0x41..0xFF, all different";
    EXPECT_EQ(Sent[25].bytes, ".SZ12,5\r");
    EXPECT_EQ(Sent[26].bytes, ".S[12,5\r");
    EXPECT_EQ(Sent[190].bytes, std::string(".S\xFF" "12,5\r"));
}

TEST_F(HbxrcpTest, RouteGoesToThePortOfTheDestination)
{
    Profile.Ports[1].MaxDest = 16;
    Profile.Ports[2] = Profile.Ports[1];
    Profile.Ports[2].MinDest = 17;
    Profile.Ports[2].MaxDest = 32;
    RouteDispatch(0, 20);  // parking is source 0 on the wire too
    EXPECT_EQ(Sent, (std::vector<Frame>{{2, ".SA20,0\r"}}));
}

TEST_F(HbxrcpTest, PollInterrogatesOneDestination)
{
    ASSERT_NE(ProtocolTable[1]->poll, nullptr);
    ProtocolTable[1]->poll(12);
    ProtocolTable[1]->poll(1);
    EXPECT_EQ(Sent, (std::vector<Frame>{{1, ".IA12,-\r"}, {1, ".IA1,-\r"}}));
}

// One line from a fresh state (every tally 0): the tallies that change,
// the revertives sent and the errors counted.
TEST_F(HbxrcpTest, TallyLines)
{
    struct Case {
        const char *what;
        std::string bytes;
        std::map<int, int32_t> tallies;  // destinations that change
        uint32_t revertives;
        uint32_t errors;
    };
    std::string thirteen = ".A";
    for (int d = 1; d <= 13; ++d)
        thirteen += (d > 1 ? " " : "") + std::string("A") + std::to_string(d) + "," +
                    std::to_string(d);
    thirteen += "\r";
    const Case cases[] = {
        {"one entry", ".AA12,5\r", {{12, 5}}, 1, 0},
        {"two entries, blank between", ".AA12,5 B13,7\r", {{12, 5}, {13, 7}}, 2, 0},
        {"comma between loses the second", ".AA12,5,B13,7\r", {{12, 5}}, 1, 0},
        {"any single separator", ".AA12,5/B13,7\r", {{12, 5}, {13, 7}}, 2, 0},
        {"bad destination", ".AA9999,5\r", {}, 0, 1},
        {"bad destination, good one after", ".AA9999,5 B12,5\r", {{12, 5}}, 1, 1},
        {"destination 0", ".AA0,5\r", {}, 0, 1},
        {"noise before the full stop", "xx.AA12,5\r", {{12, 5}}, 1, 0},
        {"thirteen entries: twelve used", thirteen,
         {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}, {10, 10},
          {11, 11}, {12, 12}},
         12, 0},
        {"every level to the same destination", ".AA12,5 B12,6\r", {{12, 6}}, 2, 0},
        {"source not a number is no source", ".AA12,-\r", {{12, -1}}, 1, 0},
        {"source out of range is no source", ".AA12,17\r", {{12, -1}}, 1, 0},
        {"source 0 unchanged", ".AA12,0\r", {}, 0, 0},
        {"entry without its letter", ".A12,5\r", {}, 0, 0},
        {"lower-case letter", ".Aa12,5\r", {}, 0, 0},
        {"not a tally line", ".BA12,5\r", {}, 0, 0},
        {"interrogate echoed back", ".IA12,-\r", {}, 0, 0},
        {"over-long entry cut to its slot", ".AA1,234567890123\r", {{1, -1}}, 1, 0},
        {"huge destination", ".AA99999999999999999999,5\r", {}, 0, 1},
        {"no comma at all", ".AA12\r", {}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RoutingReset();
        PortsReset();
        ProtocolReset();
        RevertiveReset();
        Ports.InUse[1] = 1;
        Feed(c.bytes);
        for (int d = 1; d <= 32; ++d) {
            auto it = c.tallies.find(d);
            EXPECT_EQ(Routing.TallyTable[d], it == c.tallies.end() ? 0 : it->second) << "dest " << d;
        }
        EXPECT_EQ(RevertiveCounter, c.revertives);
        EXPECT_EQ(Ports.ErrorCount[1], c.errors);
        EXPECT_EQ(Proto.RxCount[1], 0) << "a line with a full stop empties the buffer";
    }
}

TEST_F(HbxrcpTest, SameReplyTwiceReportsOnce)
{
    Feed(".AA12,5\r");
    Feed(".AA12,5\r");
    EXPECT_EQ(Routing.TallyTable[12], 5);
    EXPECT_EQ(RevertiveCounter, 1u);
}

TEST_F(HbxrcpTest, BadDestinationLeavesThePortStateAlone)
{
    Ports.CommsFail[1] = 0;
    Ports.NoReply[1] = 0;
    Feed(".AA9999,5\r");
    EXPECT_EQ(Ports.ErrorCount[1], 1u);
    EXPECT_EQ(Ports.CommsFail[1], 0);
}

TEST_F(HbxrcpTest, RevertiveDelayPendsTheTally)
{
    Profile.RevertiveDelay = 500;
    Feed(".AA12,5\r");
    EXPECT_EQ(Routing.PendingTable[12], 5);
    EXPECT_EQ(Routing.TallyTable[12], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(HbxrcpTest, CarriageReturnWithoutFullStopKeepsTheLine)
{
    Ports.NoReply[1] = 3;
    Feed("junk\r");
    EXPECT_EQ(Ports.NoReply[1], 3) << "not a reply the protocol accepts";
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
    EXPECT_EQ(Proto.RxCount[1], 5);
    Feed(".AA12,5\r");  // the line with the full stop: parsed, buffer cleared
    EXPECT_EQ(Routing.TallyTable[12], 5);
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Proto.RxCount[1], 0);
    for (int i = 0; i < 255; ++i)
        ASSERT_EQ(Proto.RxBuffer[1][i], 0) << i;
}

TEST_F(HbxrcpTest, AnyCarriageReturnBringsAFailedPortBack)
{
    Ports.CommsFail[1] = 1;
    Feed("junk\r");
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u) << "the ok report goes through NotePortError";
    EXPECT_EQ(Proto.RxCount[1], 5);
}

TEST_F(HbxrcpTest, LineThatIsNotATallyStillResetsTheBuffer)
{
    Ports.NoReply[1] = 4;
    Feed(".XYZ\r");
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Proto.RxCount[1], 0);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(HbxrcpTest, CyclicBufferWrapsWithoutCarriageReturn)
{
    Feed(std::string(300, 'x'));  // a router that never ends its line
    EXPECT_EQ(Proto.RxCount[1], 300 - 256);
    Feed(".AA12,5\r");
    EXPECT_EQ(Routing.TallyTable[12], 5);
    EXPECT_EQ(Proto.RxCount[1], 0);
}

TEST_F(HbxrcpTest, LineWrapsFromTheEndOfTheBufferToItsStart)
{
    Feed(std::string(250, 'x'));
    Feed(".AA12,5 B13,7\r");  // bytes 250..255, then 0..7
    EXPECT_EQ(Routing.TallyTable[12], 5);
    EXPECT_EQ(Routing.TallyTable[13], 7);
}

TEST_F(HbxrcpTest, PortsKeepTheirOwnLines)
{
    Profile.Ports[2] = Profile.Ports[1];
    Ports.InUse[2] = 1;
    Feed(".AA12,", 1);
    Feed(".AA13,7\r", 2);
    Feed("5\r", 1);
    EXPECT_EQ(Routing.TallyTable[12], 5);
    EXPECT_EQ(Routing.TallyTable[13], 7);
}

TEST_F(HbxrcpTest, CodeOneIsHbxrcpWithAllThreeOperations)
{
    const ProtocolOps *ops = ProtocolTable[1];
    ASSERT_NE(ops, nullptr);
    EXPECT_STREQ(ops->name, "HBXRCP");
    EXPECT_NE(ops->route, nullptr);
    EXPECT_NE(ops->poll, nullptr);
    EXPECT_NE(ops->receive, nullptr);
}

}  // namespace
