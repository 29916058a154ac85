// The demo as a user runs it: three kinds of process, the sweep, a route
// given with the bus client, and a clean end with the state files written.
#include <gtest/gtest.h>

#include "tests/support/system.h"

namespace {

const std::string Bin = std::string(WEX_BIN).substr(0, std::string(WEX_BIN).rfind('/'));

std::string BusWindows(const std::string &root)
{
    Child list;
    if (!StartChild(&list, {WEXMSG_BIN, "--root", root, "list"}, {}, root, "list") || !ChildWait(&list, 10000))
        return "?";
    return ChildOutput(list);
}

}  // namespace

// The demo and the soak keep off a production site: an exported bus or root
// is ignored, and a root with programs on its bus or a driver's files that
// the script did not make is refused before anything is touched.
TEST(Demo, ScriptsRefuseALiveOrForeignRoot)
{
    Site live;
    ASSERT_TRUE(live.StartVek());
    TempRoot foreign;
    WriteTextFile(foreign.File("DEV_007.DAT"), "tables");
    for (const char *script : {"demo", "soak"}) {
        std::string var = std::string("WEX_") + (script[0] == 'd' ? "DEMO" : "SOAK");
        for (const std::string &root : {live.root.dir, foreign.dir}) {
            Child c;
            ASSERT_TRUE(StartChild(&c, {"/bin/bash", std::string(WEX_SOURCE_DIR "/scripts/") + script, "5"},
                                   {var + "_BIN_DIR=" + Bin, var + "_ROOT=" + root, "WEX_DEMO_SECONDS=5",
                                    "WEX_DEMO_HEADLESS=1"},
                                   foreign.dir, std::string("refused-") + script));
            ASSERT_TRUE(ChildWait(&c, 20000)) << script;
            EXPECT_EQ(c.exitStatus, 1) << script << " " << root;
            EXPECT_NE(ChildErrors(c).find("refusing the root " + root), std::string::npos) << ChildErrors(c);
        }
    }
    EXPECT_FALSE(FileExists(live.Path("DEV_007.INI")));
    EXPECT_EQ(ReadTextFile(foreign.File("DEV_007.DAT")), "tables");
    EXPECT_TRUE(ChildRunning(&live.vek));
}

TEST(Demo, RunsRoutesAndEndsCleanly)
{
    TempRoot tmp;
    Site production;  // exported in the environment: the demo must not join it
    ASSERT_TRUE(production.StartVek());
    std::string bin = Bin;
    std::string root = tmp.File("demo");
    Child demo;
    ASSERT_TRUE(StartChild(&demo, {"/bin/sh", WEX_SOURCE_DIR "/scripts/demo"},
                           {"WEX_DEMO_BIN_DIR=" + bin, "WEX_DEMO_ROOT=" + root,
                            "WEX_DEMO_SECONDS=10", "WEX_DEMO_HEADLESS=1",
                            "ZOLT_BUS=" + production.Path("bus"), "ZOLT_ROOT=" + production.root.dir},
                           tmp.dir, "demo"));
    // The status line says "polling" once the start-up sweep is over.
    ASSERT_TRUE(WaitForOutput(demo, "polling |", 20000)) << ChildOutput(demo) << ChildErrors(demo);
    EXPECT_EQ(CountOccurrences(BusWindows(production.root.dir), "0x"), 1u) << "only the production VEK";
    EXPECT_NE(ChildOutput(demo).find("wexctl --root " + root + " 7 ports"), std::string::npos);
    EXPECT_NE(ChildOutput(demo).find("port 1 Ok"), std::string::npos);
    EXPECT_NE(ChildOutput(demo).find("port 2 Ok"), std::string::npos);
    Child client;
    ASSERT_TRUE(StartChild(&client,
                           {WEXMSG_BIN, "--root", root, "--text", "RC 7 5 20 ',---' 0", "send", "driver:7", "2074"},
                           {}, tmp.dir, "client"));
    ASSERT_TRUE(ChildWait(&client, 10000));
    EXPECT_EQ(client.exitStatus, 0) << ChildErrors(client);
    // Destination 20 lives on the PROBEL router (port 2).
    EXPECT_TRUE(WaitFor([&] { return ReadTextFile(root + "/vek.log").find("text=\"RR 007 020 005\"") != std::string::npos; }))
        << ReadTextFile(root + "/vek.log");
    ASSERT_TRUE(ChildWait(&demo, 40000));
    EXPECT_EQ(demo.exitStatus, 0) << ChildOutput(demo) << ChildErrors(demo);
    auto dat = ReadBinaryFile(root + "/DEV_007.DAT");
    ASSERT_EQ(dat.size(), 16384u);
    EXPECT_EQ(dat[2 * 19], 0);
    EXPECT_EQ(dat[2 * 19 + 1], 5);
    EXPECT_EQ(ReadBinaryFile(root + "/DEV_007.LCK").size(), 4096u);
}
