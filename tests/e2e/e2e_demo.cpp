// The demo as a user runs it: three kinds of process, the sweep, a route
// given with the bus client, and a clean end with the state files written.
#include <gtest/gtest.h>

#include "tests/support/system.h"

TEST(Demo, RunsRoutesAndEndsCleanly)
{
    TempRoot tmp;
    std::string bin = std::string(WEX_BIN).substr(0, std::string(WEX_BIN).rfind('/'));
    std::string root = tmp.File("demo");
    Child demo;
    ASSERT_TRUE(StartChild(&demo, {"/bin/sh", WEX_SOURCE_DIR "/scripts/demo"},
                           {"WEX_DEMO_BIN_DIR=" + bin, "WEX_DEMO_ROOT=" + root,
                            "WEX_DEMO_SECONDS=10", "WEX_DEMO_HEADLESS=1"},
                           tmp.dir, "demo"));
    // The status line says "polling" once the start-up sweep is over.
    ASSERT_TRUE(WaitForOutput(demo, "polling |", 20000)) << ChildOutput(demo) << ChildErrors(demo);
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
