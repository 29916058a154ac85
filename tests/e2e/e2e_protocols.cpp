// Every router protocol the whole way, with real processes: vek, the
// simulated router of the protocol on a pseudo-terminal and the driver on a
// device whose one port speaks it.  Each run waits for the start-up sweep,
// checks that polling learned the router's crosspoint, routes through vek,
// sees the frame arrive at the router and the revertive come back, and then
// changes the crosspoint on the router's own panel.
//
// The port serves destinations 3..6 of a six-destination device, so the
// wire numbering of every protocol (counted from MinDest or not) is checked
// against the simulator's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/system.h"

namespace {

constexpr int kSources = 8;
constexpr int kDests = 6;
constexpr int kMinDest = 3;
constexpr int kMaxDest = 6;

struct ProtocolRun {
    const char *name;                     // test name
    const char *keyword;                  // Protocol= of the profile and routersim --protocol
    const char *settings;                 // extra [WEX] lines
    std::vector<std::string> simOptions;  // routersim options for those settings
    int dest;         // destination routed through vek
    int tallyDest;    // destination whose tally the router reports
    int simDest;      // the router's own crosspoint behind tallyDest
    int before;       // crosspoint preset on the router
    int source;       // source routed
    int after;        // source set on the router's panel afterwards
    std::vector<std::string> routeLines;  // RX lines of the router, in order, for the route
};

// Route source 7 to destination 5 (wire destination 2 from MinDest 3, or 3
// for the protocols that count from 1; wire source 6 where sources count
// from 0), with destination 5 carrying source 2 on the router before.
const ProtocolRun kRuns[] = {
    {"Hbxrcp", "HBXRCP", "HBXRCP_Levels=2\n", {"--levels", "2"}, 5, 5, 5, 2, 7, 3,
     {".SA5,7", ".SB5,7"}},
    {"Probel", "PROBEL", "", {}, 5, 5, 5, 2, 7, 3, {"ff 02 00 02 06 76"}},
    {"Simple", "SIMPLE", "", {}, 5, 5, 5, 2, 7, 3, {"82 06", "02"}},
    {"Cox", "COX", "", {}, 5, 5, 5, 2, 7, 3, {"01 06 02 f7"}},
    // The router asks for an acknowledgement after each set it takes.
    {"Vistek", "VISTEK", "", {"--opt", "ack=1"}, 5, 5, 5, 2, 7, 3, {".SZ5,7", ".A"}},
    // Destination 5 is the third output from MinDest: group 1, letter I.
    {"Ntpeq", "NTPEQ", "", {}, 5, 5, 5, 2, 7, 3, {".ZI1,7"}},
    {"Vardartr", "VARDARTR", "", {}, 5, 5, 5, 2, 7, 3, {"R62"}},
    // An output's number is the destination itself; source 1 is on, 2 off.
    {"Vardagpi", "VARDAGPI", "", {}, 5, 5, 5, 2, 1, 2, {"S51"}},
    {"Btsascii", "BTSASCII", "", {}, 5, 5, 5, 2, 7, 3, {"ZS002006"}},
    {"Quartz", "QUARTZ", "QuartzLevels=VAB\n", {"--opt", "levels=VAB"}, 5, 5, 5, 2, 7, 3,
     {".SVAB3,7"}},
    // No polling: the link start-up brings the report; the first route is
    // preceded by the preparation request.
    {"Btsesswitch", "BTSESSWITCH", "", {}, 5, 5, 5, 2, 7, 3,
     {"02 03 3f 07 47 70", "02 07 42 ff ff 00 06 00 02 b1"}},
    // Polled no faster than every 10 s: this run takes that long once.
    {"Network", "NETWORK", "NetworkRouterType=VIDEO\nNetworkRouterLvl=3\n", {"--opt", "level=3"},
     5, 5, 5, 2, 7, 3, {"a3 02 06"}},
    {"Leitch", "LEITCH", "LeitchLevel=1\n", {"--opt", "level=1"}, 5, 5, 5, 2, 7, 3,
     {"@ X:1/2,6"}},
    // The unit's one input is the tally of destination 1, whichever
    // destination is routed.
    {"Adrienne", "ADRIENNE", "AdrienneAddress=5\n", {"--opt", "address=5"}, 5, 1, 1, 2, 7, 3,
     {"02 30 35 36 36"}},
    {"Pesa", "PESA", "", {}, 5, 5, 5, 2, 7, 3, {"H00300772", "Y003><"}},
    {"Sony", "SONY", "SonyAddress=5\n", {"--opt", "address=5"}, 5, 5, 5, 2, 7, 3,
     {"02 06 31 05 01 22 07 03 97", "02 05 31 05 01 62 03 5f"}},
};

// Failures name the run, not its bytes.
void PrintTo(const ProtocolRun &run, std::ostream *out) { *out << run.name; }

std::string Profile(const ProtocolRun &run)
{
    char port[160];
    std::snprintf(port, sizeof port,
                  "[Com_1]\nPort=1\nMinDest=%d\nMaxDest=%d\nProtocol=%s\nSpeed=9600\n", kMinDest,
                  kMaxDest, run.keyword);
    return "[Database]\nDatabaseSize_0=" + std::to_string(kSources) +
           "\nDatabaseSize_1=" + std::to_string(kDests) +
           "\n[WEX]\nInitTallyDelay=20\nTallyDelay=100\nCommErrorLimit=50\n" + run.settings + port;
}

std::string Revertive(int dest, int source)
{
    char text[48];
    std::snprintf(text, sizeof text, "text=\"RR 007 %03d %03d\"", dest, source);
    return text;
}

// Commands are refused until the start-up sweep is over.  A report request
// is answered (message 2188) only once they are taken, so ask until one is.
bool WaitForCommands(Site &s, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        s.Vek("cmd 7 RQ 7 1 1 0");
        if (s.WaitVek("RX code=2188", 1, 100))
            return true;
    }
    return false;
}

// The lines appear, in this order, in the router's log after offset.
bool RouterLinesInOrder(Site &s, size_t offset, const std::vector<std::string> &lines)
{
    return WaitFor(
        [&] {
            std::string log = s.RouterLog(1);
            size_t at = offset;
            for (const auto &line : lines) {
                at = log.find("\nRX " + line + "\n", at);
                if (at == std::string::npos)
                    return false;
                at += line.size() + 4;
            }
            return true;
        },
        15000);
}

class EndToEndProtocol : public ::testing::TestWithParam<ProtocolRun> {};

}  // namespace

TEST_P(EndToEndProtocol, SweepRouteRevertiveAndPanelChange)
{
    const ProtocolRun &run = GetParam();
    Site s;
    ASSERT_TRUE(s.StartVek());
    std::vector<std::string> sim = {"--min-dest", std::to_string(kMinDest), "--preset",
                                    std::to_string(run.simDest) + "=" + std::to_string(run.before)};
    sim.insert(sim.end(), run.simOptions.begin(), run.simOptions.end());
    ASSERT_TRUE(s.StartRouter(1, run.keyword, kSources, kDests, sim)) << s.RouterLog(1);
    s.WriteProfile(7, Profile(run));
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(WaitForCommands(s, 30000)) << s.VekLog() << s.DriverErrors() << s.RouterLog(1);

    // Polling (or the link start-up) learned what the router carries.
    ASSERT_TRUE(s.WaitVek(Revertive(run.tallyDest, run.before)))
        << s.VekLog() << s.RouterLog(1);

    // The route goes on the wire and its tally comes back to vek.
    size_t logged = s.RouterLog(1).size() - 1;
    std::string routed = Revertive(run.tallyDest, run.source);
    size_t seen = CountOccurrences(s.VekLog(), routed);
    s.Vek("cmd 7 RC 7 " + std::to_string(run.source) + " " + std::to_string(run.dest) +
          " ',---' 0");
    ASSERT_TRUE(RouterLinesInOrder(s, logged, run.routeLines)) << s.RouterLog(1);
    ASSERT_TRUE(s.WaitVek(routed, seen + 1)) << s.VekLog() << s.RouterLog(1);
    if (run.tallyDest != run.dest) {
        EXPECT_EQ(s.VekLog().find(Revertive(run.dest, run.source)), std::string::npos)
            << "the routed destination itself has no tally of its own";
    }

    // A change made on the router itself reaches vek too.
    std::string changed = Revertive(run.tallyDest, run.after);
    seen = CountOccurrences(s.VekLog(), changed);
    s.Router(1, "set 1 " + std::to_string(run.simDest) + " " + std::to_string(run.after));
    ASSERT_TRUE(s.WaitVek(changed, seen + 1)) << s.VekLog() << s.RouterLog(1);

    EXPECT_EQ(s.StopDriver(), 0) << s.DriverErrors();
    EXPECT_EQ(s.DriverErrors().find("! Error !"), std::string::npos) << s.DriverErrors();
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, EndToEndProtocol, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<ProtocolRun> &info) {
                             return std::string(info.param.name);
                         });
