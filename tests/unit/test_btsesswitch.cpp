// BTSESSWITCH: the framed link start-up with its 10-second retry on timer 5
// of the main dialog, the preparation request, route requests, tally
// reports, single-byte responses and 2741 to an external driver.
#include "router_harness.h"

#include <algorithm>
#include <map>

#include "protocols/btsesswitch.h"
#include "tools/routersim/sim_btsesswitch.cpp"

using namespace bench;

namespace {

constexpr uint8_t kBts = 11;
constexpr uint8_t kProbelCode = 2;
const ProtocolOps &Ops() { return *ProtocolTable[kBts]; }

const char kStartup[] = "02 0C 60 41 FF 60 42 FF 60 44 FF FF 22 47 A8";
const char kPreparation[] = "02 03 3F 07 47 70";
const char kStur[] =
    "Start-up message (STUR) received, re-initialising with device for revertive updates...";

// Two BTSESSWITCH ports (1..300 and 301..400) and a PROBEL port, a dialog
// for timer 5, and the link state of a fresh start with no port in use.
void SetUpDevice()
{
    Reset();
    Profile.DatabaseSize_0 = 400;
    Profile.DatabaseSize_1 = 400;
    BtsStartup();  // clears the link flags left by an earlier test
    UsePort(1, kBts, 1, 300);
    UsePort(2, kBts, 301, 400);
    UsePort(3, kProbelCode, 401, 500);
    Dlg.Dialog = CreateWindowProc(RecordingProc, false);
}

class Bts : public ::testing::Test {
protected:
    void SetUp() override { SetUpDevice(); }
    void TearDown() override { Finish(); }
};

std::vector<std::string> SentHex()
{
    std::vector<std::string> out;
    for (const auto &f : Sent)
        out.push_back(std::to_string(f.port) + ": " + Hex(f.bytes));
    return out;
}

TEST_F(Bts, StartupRequestOnEveryBtsPortAndRetryTimer)
{
    BtsStartup();
    EXPECT_EQ(SentHex(), (std::vector<std::string>{std::string("1: ") + kStartup,
                                                   std::string("2: ") + kStartup}));
    EXPECT_TRUE(TimerRunning(Dlg.Dialog, 5));
    EXPECT_EQ(TimerPeriod(Dlg.Dialog, 5), 10000u);
}

TEST_F(Bts, NoBtsPortNoRequestNoTimer)
{
    Ports.InUse[1] = 0;
    Ports.InUse[2] = 0;
    BtsStartup();
    EXPECT_TRUE(Sent.empty());
    EXPECT_FALSE(TimerRunning(Dlg.Dialog, 5));
}

TEST_F(Bts, RetryUntilTallyReportArrives)
{
    BtsStartup();
    Sent.clear();
    BtsRetryTick();
    EXPECT_EQ(Sent.size(), 2u) << "unconfirmed: the request is repeated";
    EXPECT_TRUE(TimerRunning(Dlg.Dialog, 5));

    Feed(1, Bytes("02 0B 00 00 47 00 00 00 04 00 01 00 09 A0"));
    Sent.clear();
    BtsRetryTick();
    EXPECT_TRUE(Sent.empty());
    EXPECT_FALSE(TimerRunning(Dlg.Dialog, 5)) << "confirmed: the timer stops";
}

struct RouteCase {
    const char *what;
    int32_t source;
    int32_t dest;
    const char *frame;
};

TEST_F(Bts, RouteRequests)
{
    const RouteCase cases[] = {
        {"source 1 to destination 1", 1, 1, "1: 02 07 42 FF FF 00 00 00 00 B9"},
        {"source 300 to destination 258", 300, 258, "1: 02 07 42 FF FF 01 2B 01 01 8B"},
        {"parking as source FFFF", 0, 1, "1: 02 07 42 FF FF FF FF 00 00 BB"},
        {"second port counts from its MinDest", 5, 305, "2: 02 07 42 FF FF 00 04 00 04 B1"},
    };
    Ops().route(2, 2);  // the preparation goes before the first route only
    for (const auto &c : cases) {
        Sent.clear();
        Events.clear();
        Ops().route(c.source, c.dest);
        EXPECT_EQ(SentHex(), std::vector<std::string>{c.frame}) << c.what;
        std::string dumped = std::string(c.frame).substr(3);
        auto lines = DebugLines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string &l) {
            return l.find(dumped) != std::string::npos;
        })) << c.what << ": the request is hex-dumped";
    }
}

TEST_F(Bts, PreparationBeforeFirstRouteAfterEachStartup)
{
    Ops().route(1, 1);
    EXPECT_EQ(SentHex(), (std::vector<std::string>{std::string("1: ") + kPreparation,
                                                   std::string("2: ") + kPreparation,
                                                   "1: 02 07 42 FF FF 00 00 00 00 B9"}));
    Sent.clear();
    Ops().route(1, 1);
    EXPECT_EQ(Sent.size(), 1u) << "the second route goes alone";
    BtsStartup();
    Sent.clear();
    Ops().route(1, 1);
    EXPECT_EQ(Sent.size(), 3u) << "a new start-up needs a new preparation";
}

TEST_F(Bts, RouteOfRoutedSourceIsAnsweredFromTable)
{
    Shell.ExternalDriverWindow = External;
    Routing.TallyTable[5] = 10;
    Ops().route(2, 2);
    Sent.clear();
    Ops().route(10, 5);
    EXPECT_EQ(RevertiveCounter, 1u);
    EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 005 010"});
    EXPECT_EQ(Sent.size(), 1u) << "the route request still goes out";
    if (ZoltDelivers) {
        EXPECT_EQ(TalliesToExternal(), (std::vector<std::pair<int, int>>{{5, 10}}));
    }
    Ops().route(11, 5);
    EXPECT_EQ(RevertiveCounter, 1u) << "another source waits for the router";
}

TEST_F(Bts, RoutedSourceWithRevertiveDelay)
{
    Shell.ExternalDriverWindow = External;
    Profile.RevertiveDelay = 400;
    Routing.TallyTable[5] = 10;
    Ops().route(10, 5);
    EXPECT_EQ(Routing.PendingTable[5], 10);
    EXPECT_EQ(Routing.TallyTable[5], 0) << "so the next delay tick reports it again";
    EXPECT_EQ(RevertiveCounter, 0u);
    if (ZoltDelivers) {
        EXPECT_EQ(TalliesToExternal(), (std::vector<std::pair<int, int>>{{5, 10}}))
            << "the external driver hears the source the destination carries";
    }
}

struct RxCase {
    const char *what;
    const char *bytes;
    std::map<int, int> tallies;
    uint32_t revertives;
    uint32_t errors;
    size_t acks;
};

TEST_F(Bts, ReceivedFrames)
{
    const RxCase cases[] = {
        {"record for offset 4 with source value 9", "02 0B 00 00 47 00 00 00 04 00 01 00 09 A0",
         {{5, 10}}, 1, 0, 1},
        {"record with no source values gives source 0", "02 09 00 00 47 00 00 00 04 00 00 AC",
         {}, 1, 0, 1},
        {"two records",
         "02 14 00 00 47 00 00 00 01 00 01 00 02 47 00 00 00 02 00 01 00 03 54",
         {{2, 3}, {3, 4}}, 2, 0, 1},
        {"only the first of several sources is used",
         "02 16 00 00 47 00 00 00 01 00 02 00 05 00 06 47 00 00 00 02 00 01 00 07 44",
         {{2, 6}, {3, 8}}, 2, 0, 1},
        {"the scan ends at a record without G",
         "02 14 00 00 47 00 00 00 01 00 01 00 02 48 00 00 00 02 00 01 00 03 53",
         {{2, 3}}, 1, 0, 1},
        {"a record running past the data ends the scan", "02 09 00 00 47 00 00 00 04 00 01 AB",
         {}, 0, 0, 1},
        {"destination past the count skipped", "02 0B 00 00 47 00 00 10 00 00 01 00 02 9B", {},
         0, 0, 1},
        {"source past the count stored as no source",
         "02 0B 00 00 47 00 00 00 04 00 01 01 F3 B5", {{5, -1}}, 1, 0, 1},
        {"checksums are not checked", "02 0B 00 00 47 00 00 00 04 00 01 00 09 00", {{5, 10}}, 1,
         0, 1},
        {"a frame of no known kind counts an error", "02 01 33 CC", {}, 0, 1, 1},
        {"two frames in a row", "02 01 33 CC 02 01 33 CC", {}, 0, 2, 2},
        {"an acknowledge on a healthy port", "04", {}, 0, 0, 0},
        {"an unfinished frame", "02 0B 00 00 47 00 00 00 04", {}, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SetUpDevice();
        Feed(1, Bytes(c.bytes));
        for (int d = 1; d <= 300; ++d) {
            auto it = c.tallies.find(d);
            EXPECT_EQ(Routing.TallyTable[d], it == c.tallies.end() ? 0 : it->second)
                << c.what << ": destination " << d;
        }
        EXPECT_EQ(RevertiveCounter, c.revertives) << c.what;
        EXPECT_EQ(Ports.ErrorCount[1], c.errors) << c.what;
        EXPECT_EQ(SentHex(), std::vector<std::string>(c.acks, "1: 04")) << c.what;
    }
}

TEST_F(Bts, SingleByteResponses)
{
    Feed(1, Bytes("05 07"));
    EXPECT_EQ(DebugLines(), (std::vector<std::string>{"NACK", "Unknown primary response 07"}));
    EXPECT_TRUE(Sent.empty()) << "nothing is resent";

    Ports.CommsFail[1] = 1;
    Ports.NoReply[1] = 6;
    Feed(1, Bytes("04"));
    EXPECT_EQ(Ports.CommsFail[1], 0);
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Ports.ErrorCount[1], 1u) << "the ok report";
}

TEST_F(Bts, StartupNoticeRestartsTheLink)
{
    Ops().route(2, 2);
    Events.clear();
    Feed(1, Bytes("02 01 40 BF"));
    std::vector<std::string> seen;
    for (const auto &e : Events)
        if (e.rfind("TX", 0) == 0 || e == std::string("DBG ") + kStur)
            seen.push_back(e);
    EXPECT_EQ(seen, (std::vector<std::string>{"TX 1: 04", std::string("DBG ") + kStur,
                                              std::string("TX 1: ") + kStartup,
                                              std::string("TX 2: ") + kStartup}));
    EXPECT_TRUE(TimerRunning(Dlg.Dialog, 5));
    Sent.clear();
    Ops().route(1, 1);
    EXPECT_EQ(Sent.size(), 3u) << "the preparation goes out again";
}

TEST_F(Bts, RouterModeReportsEveryRecordDriverModeOnlyChanges)
{
    const char *report = "02 0B 00 00 47 00 00 00 04 00 01 00 09 A0";
    Feed(1, Bytes(report));
    Feed(1, Bytes(report));
    EXPECT_EQ(RevertiveCounter, 2u) << "ROUTER";

    SetUpDevice();
    Profile.RevertiveMode = kRevertiveDriver;
    Feed(1, Bytes(report));
    Feed(1, Bytes(report));
    EXPECT_EQ(RevertiveCounter, 1u) << "DRIVER";
    EXPECT_EQ(Routing.TallyTable[5], 10);
}

TEST_F(Bts, ReportsGoToExternalDriverChangedOrNot)
{
    if (!ZoltDelivers)
        GTEST_SKIP() << "ZOLT32TxMessage does not reach local windows yet";
    Shell.ExternalDriverWindow = External;
    Profile.RevertiveMode = kRevertiveDriver;
    const char *report = "02 0B 00 00 47 00 00 00 04 00 01 00 09 A0";
    Feed(1, Bytes(report));
    Feed(1, Bytes(report));
    EXPECT_EQ(TalliesToExternal(), (std::vector<std::pair<int, int>>{{5, 10}, {5, 10}}));
    Inbox.clear();
    Profile.DriverMode = kDriverExternal;
    Feed(1, Bytes(report));
    EXPECT_TRUE(To(External, 2741).empty()) << "only in INTERNAL mode";
}

TEST_F(Bts, RevertiveDelayPendsEveryRecord)
{
    Shell.ExternalDriverWindow = External;
    Profile.RevertiveDelay = 300;
    Routing.TallyTable[5] = 10;
    Routing.PendingTable[5] = 77;
    Feed(1, Bytes("02 0B 00 00 47 00 00 00 04 00 01 00 09 A0"));
    EXPECT_EQ(Routing.PendingTable[5], 10) << "stored even when it equals the tally";
    EXPECT_EQ(RevertiveCounter, 0u);
    EXPECT_TRUE(To(External, 2741).empty());
}

TEST_F(Bts, OverlongFrameIsDroppedAtBufferEnd)
{
    std::vector<uint8_t> frame = Bytes("02 FF");
    frame.resize(256, 0x11);
    Feed(1, frame);
    EXPECT_TRUE(Sent.empty()) << "never complete, never acknowledged";
    Feed(1, Bytes("05"));
    EXPECT_EQ(DebugLines(), std::vector<std::string>{"NACK"}) << "the parser is idle again";
    Feed(1, Bytes("02 01 33 CC"));
    EXPECT_EQ(Ports.ErrorCount[1], 1u);
}

TEST_F(Bts, TwoPortsCollectTheirFramesApart)
{
    std::vector<uint8_t> first = Bytes("02 0B 00 00 47 00 00 00 04 00 01 00 09 A0");
    std::vector<uint8_t> second = Bytes("02 0B 00 00 47 00 00 00 02 00 01 00 03 A8");
    Feed(1, std::vector<uint8_t>(first.begin(), first.begin() + 6));
    Feed(2, second);
    Feed(1, std::vector<uint8_t>(first.begin() + 6, first.end()));
    EXPECT_EQ(Routing.TallyTable[5], 10);
    EXPECT_EQ(Routing.TallyTable[303], 4);
    EXPECT_EQ(SentHex(), (std::vector<std::string>{"2: 04", "1: 04"}));
}

TEST_F(Bts, SimulatedRouterConfirmsStartupAndTakesRoutes)
{
    SimRouter r = MakeRouter(400, 300, 1);
    for (int d = 1; d <= 300; ++d)
        SimSetXpt(r, 0, d, d % 7 == 0 ? -1 : d);

    BtsStartup();
    Sent.erase(std::remove_if(Sent.begin(), Sent.end(), [](const Frame &f) { return f.port != 1; }),
               Sent.end());
    Exchange(SimBtsesswitch, r, 1);
    EXPECT_EQ(Routing.TallyTable[1], 1);
    EXPECT_EQ(Routing.TallyTable[299], 299);
    EXPECT_EQ(Routing.TallyTable[300], 300);
    EXPECT_EQ(Routing.TallyTable[7], 0) << "nothing routed: no source values";
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
    BtsRetryTick();
    EXPECT_FALSE(TimerRunning(Dlg.Dialog, 5));

    Sent.clear();
    RouteDispatch(10, 5);
    Sent.erase(std::remove_if(Sent.begin(), Sent.end(), [](const Frame &f) { return f.port != 1; }),
               Sent.end());
    Exchange(SimBtsesswitch, r, 1);
    EXPECT_EQ(SimXpt(r, 0, 5), 10);
    EXPECT_EQ(Routing.TallyTable[5], 10);

    SimSetXpt(r, 0, 8, 33);
    SimBtsesswitch.announce(r, 8);
    Exchange(SimBtsesswitch, r, 1);
    EXPECT_EQ(Routing.TallyTable[8], 33);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
}

}  // namespace
