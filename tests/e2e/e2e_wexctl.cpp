// wexctl against a running driver with a router on a pseudo-terminal: the
// port table, tallies with VEK's names, route, lock, watch and --json; its
// failure cases; and the command extension refused from the control
// system's direction.
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/support/system.h"

using nlohmann::json;

namespace {

const char kProfile[] =
    "[WEX]\nInitTallyDelay=100\nTallyDelay=1000\n"
    "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=16\n"
    "[Com_1]\nPort=1\nMinDest=1\nMaxDest=16\nProtocol=HBXRCP\nSpeed=38400\n";

struct CtlRun {
    int status = -1;
    std::string out, err;
};

CtlRun RunWexctl(const std::string &root, const std::vector<std::string> &args)
{
    static int n = 0;
    std::vector<std::string> argv = {WEXCTL_BIN, "--root", root};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c;
    CtlRun r;
    if (!StartChild(&c, argv, {}, root, "wexctl" + std::to_string(++n)))
        return r;
    if (!ChildWait(&c, 20000))
        ChildStop(&c, 1000);
    r.status = c.exitStatus;
    r.out = ChildOutput(c);
    r.err = ChildErrors(c);
    return r;
}

json Json(const std::string &text)
{
    return json::parse(text, nullptr, false);
}

// One site for the whole suite: vek with names, an HBXRCP router on COM1
// and driver 7.
class Wexctl : public ::testing::Test {
protected:
    static std::unique_ptr<Site> S;

    static void SetUpTestSuite()
    {
        S = std::make_unique<Site>();
        WriteTextFile(S->Path("src.txt"), "CAM 1\nCAM 2\nCAM 3\nCAM 4\nCAM 5\nCAM 6\nVT 1\nVT 2\nVT 3\n");
        WriteTextFile(S->Path("dst.txt"), "MON 1\nMON 2\nMON 3\nMON 4\nMON 5\nMON 6\nMON 7\nMON 8\n"
                                          "TX 1\nTX 2\nTX 3\nTX 4\nTX 5\nTX 6\n");
        ASSERT_TRUE(S->StartVek({"--source-names", "7=" + S->Path("src.txt"), "--dest-names",
                                 "7=" + S->Path("dst.txt")}));
        ASSERT_TRUE(S->StartRouter(1, "HBXRCP", 16, 16, {"--identity"}));
        S->WriteProfile(7, kProfile);
        ASSERT_TRUE(S->StartDriver("wex", "7"));
        // Commands are taken once the start-up sweep is done.
        ASSERT_TRUE(WaitFor([] {
            json j = Json(RunWexctl(S->root.dir, {"--json", "7", "ports"}).out);
            return j.is_object() && j.value("enabled", 0) == 1;
        }, 20000));
    }
    static void TearDownTestSuite() { S.reset(); }

    static json Tally(int dest)
    {
        json j = Json(RunWexctl(S->root.dir, {"--json", "7", "tallies", std::to_string(dest)}).out);
        return j.is_object() && j["tallies"].size() == 1 ? j["tallies"][0] : json();
    }
};
std::unique_ptr<Site> Wexctl::S;

}  // namespace

TEST_F(Wexctl, PortsAsTheWindowShowsThem)
{
    CtlRun text = RunWexctl(S->root.dir, {"7", "ports"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("Com  Port  Status"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Interface Tx/Rx"), std::string::npos) << text.out;
    json j = Json(RunWexctl(S->root.dir, {"--json", "7", "ports"}).out);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["id"], 7);
    EXPECT_EQ(j["interface"], "Tx/Rx");
    EXPECT_EQ(j["dests"], 16);
    ASSERT_EQ(j["ports"].size(), 8u);
    EXPECT_EQ(j["ports"][0]["status"], "Ok");
    EXPECT_EQ(j["ports"][0]["com"], 1);
    EXPECT_EQ(j["ports"][0]["port"], "1");
    EXPECT_EQ(j["ports"][0]["min"], "0001");
    EXPECT_EQ(j["ports"][0]["max"], "0016");
    EXPECT_EQ(j["ports"][0]["protocol"], "HBXRCP");
    EXPECT_EQ(j["ports"][0]["errorcount"], 0);
    EXPECT_EQ(j["ports"][1]["status"], "Unused");
}

TEST_F(Wexctl, TalliesWithNames)
{
    // The identity router carries source d on destination d.
    CtlRun text = RunWexctl(S->root.dir, {"7", "tallies", "2", "3"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("MON 3"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("CAM 3"), std::string::npos) << text.out;
    json j = Json(RunWexctl(S->root.dir, {"--json", "7", "tallies"}).out);
    ASSERT_TRUE(j.is_object());
    ASSERT_EQ(j["tallies"].size(), 16u);
    EXPECT_EQ(j["tallies"][3]["dest"], 4);
    EXPECT_EQ(j["tallies"][3]["dest_name"], "MON 4");
    EXPECT_EQ(j["tallies"][3]["source"], 4);
    EXPECT_EQ(j["tallies"][3]["source_name"], "CAM 4");
    EXPECT_EQ(j["tallies"][3]["locked"], false);
}

TEST_F(Wexctl, RouteChangesTheTallyAndLockRefusesARoute)
{
    CtlRun route = RunWexctl(S->root.dir, {"7", "route", "5", "12"});
    EXPECT_EQ(route.status, 0) << route.err;
    EXPECT_NE(route.out.find("destination 12 (TX 4): source 5 (CAM 5)"), std::string::npos) << route.out;
    EXPECT_EQ(Tally(12)["source"], 5);
    EXPECT_TRUE(S->WaitVek("text=\"RR 007 012 005\""));

    EXPECT_EQ(RunWexctl(S->root.dir, {"7", "lock", "12"}).status, 0);
    EXPECT_EQ(Tally(12)["locked"], true);
    CtlRun refused = RunWexctl(S->root.dir, {"7", "route", "6", "12"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("destination 12 is locked"), std::string::npos) << refused.err;
    EXPECT_EQ(Tally(12)["source"], 5);
    EXPECT_EQ(S->RouterLog(1).find("RX .SA12,6"), std::string::npos);
    EXPECT_EQ(RunWexctl(S->root.dir, {"7", "unlock", "12"}).status, 0);
    EXPECT_EQ(RunWexctl(S->root.dir, {"7", "route", "6", "12"}).status, 0);
    EXPECT_EQ(Tally(12)["source"], 6);
}

// The watch shows each revertive the driver sends (a route made through
// VEK, and the same route again, which changes no tally), and a lock.
TEST_F(Wexctl, WatchShowsARouteMadeElsewhere)
{
    Child watch;
    ASSERT_TRUE(StartChild(&watch, {WEXCTL_BIN, "--root", S->root.dir, "--json", "7", "watch"}, {},
                           S->root.dir, "watch"));
    ASSERT_TRUE(WaitForOutput(watch, "\"watching\"")) << ChildErrors(watch);
    auto events = [&](const std::string &kind) {
        std::vector<json> found;
        std::stringstream lines(ChildOutput(watch));
        for (std::string line; std::getline(lines, line);) {
            json j = Json(line);
            if (j.is_object() && j["event"] == kind && j.value("dest", 0) == 11)
                found.push_back(j);
        }
        return found;
    };
    for (int round = 1; round <= 2; ++round) {
        S->Vek("cmd 7 RC 7 9 11 ',---' 0");
        ASSERT_TRUE(WaitFor([&] { return events("revertive").size() == static_cast<size_t>(round); }))
            << ChildOutput(watch);
    }
    json r = events("revertive").back();
    EXPECT_EQ(r["source"], 9);
    EXPECT_EQ(r["source_name"], "VT 3");
    EXPECT_EQ(r["dest_name"], "TX 3");
    EXPECT_GT(r["seq"].get<uint32_t>(), 0u);
    EXPECT_EQ(RunWexctl(S->root.dir, {"7", "lock", "11"}).status, 0);
    ASSERT_TRUE(WaitFor([&] {
        auto t = events("tally");
        return !t.empty() && t.back()["locked"] == true && t.back()["source"] == 9;
    })) << ChildOutput(watch);
    EXPECT_EQ(RunWexctl(S->root.dir, {"7", "unlock", "11"}).status, 0);
    kill(watch.pid, SIGINT);
    ASSERT_TRUE(ChildWait(&watch, 5000));
    EXPECT_EQ(watch.exitStatus, 0);
}

TEST_F(Wexctl, BadArgumentsGetTheUsageAndStatusTwo)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, {"7"}, {"x", "ports"}, {"0", "ports"}, {"1000", "ports"}, {"7", "jump"},
        {"7", "route", "5"}, {"7", "route", "5", "abc"}, {"7", "route", "-1", "12"},
        {"7", "route", "5", "4097"}, {"7", "lock", "0"}, {"7", "tallies", "5", "3"},
        {"7", "tallies", "1", "2", "3"}, {"7", "ports", "--bogus"}, {"7", "unlock", "99999999999"},
    };
    for (const auto &args : cases) {
        CtlRun r = RunWexctl(S->root.dir, args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
        EXPECT_NE(r.err.find("usage: wexctl"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Wexctl, NoDriverIsOneLineAndStatusOne)
{
    TempRoot empty;
    for (const auto &[root, id] : {std::pair{empty.dir, "7"}, std::pair{S->root.dir, "8"}}) {
        CtlRun r = RunWexctl(root, {id, "ports"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(CountOccurrences(r.err, "\n"), 1u) << r.err;
        EXPECT_NE(r.err.find("no driver " + std::string(id) + " is running"), std::string::npos) << r.err;
    }
    CtlRun r = RunWexctl(S->root.dir, {"7", "tallies", "17"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("has no destination 17"), std::string::npos) << r.err;
}

// The command extension changes tallies, so it is refused from VEK's window
// and through the message bridge; the read extensions answer everyone.
TEST_F(Wexctl, CommandExtensionRefusedFromTheControlSystemsDirection)
{
    int before = Tally(13)["source"];
    S->Vek("text 7 31243 0 RC 7 7 13 ',---' 0");
    ASSERT_TRUE(S->WaitVek("TX code=31243"));
    EXPECT_NE(S->VekLog().find("text=\"RC 7 7 13 ',---' 0\" result=0"), std::string::npos) << S->VekLog();
    Child bridge;
    ASSERT_TRUE(StartChild(&bridge, {WEXMSG_BIN, "--root", S->root.dir, "--text", "RC 7 8 13 ',---' 0",
                                     "bridge", "driver:7", "31243", "0"},
                           {}, S->root.dir, "bridge"));
    ASSERT_TRUE(ChildWait(&bridge, 15000));
    EXPECT_NE(ChildOutput(bridge).find("result=0"), std::string::npos) << ChildOutput(bridge);
    // Nothing was routed: the router saw no route and the tally stands.
    EXPECT_EQ(S->RouterLog(1).find("RX .SA13,"), std::string::npos);
    EXPECT_EQ(Tally(13)["source"], before);
    // A read from VEK's direction is answered (it changes nothing).
    S->Vek("text 7 31240 0 x");
    EXPECT_TRUE(S->WaitVek("result=7"));
}
