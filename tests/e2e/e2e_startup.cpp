// Start-up and shutdown of the real program: refusals, messages, exit
// statuses and the files left behind.
#include <gtest/gtest.h>

#include <dirent.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/system.h"

namespace {

const char kSimulated[] =
    "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\nSimulation=1\n";

std::vector<std::string> Entries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

// Every file under dir with its contents and modification time, but for
// the captured output of the test's own processes.
std::map<std::string, std::string> Snapshot(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        if (ext == ".out" || ext == ".err")
            continue;
        auto stamp = e.last_write_time().time_since_epoch().count();
        files[e.path().string()] = (e.is_regular_file() ? ReadTextFile(e.path().string()) : "") +
                                   "@" + std::to_string(stamp);
    }
    return files;
}

}  // namespace

TEST(EndToEndStartup, InvalidIdCreatesNothing)
{
    for (const char *id : {"abc", "0", "-3", "1000", "", "4294967303"}) {
        TempRoot root;
        Child c;
        ASSERT_TRUE(StartChild(&c, {WEX_BIN, "--headless", "--root", root.dir + "/r", id}, {},
                               root.dir, "wex"));
        ASSERT_TRUE(ChildWait(&c, 10000));
        EXPECT_NE(c.exitStatus, 0) << id;
        EXPECT_NE(ChildErrors(c).find("! Error !: The driver Id supplied as a command line "
                                      "parameter is either missing or invalid!"),
                  std::string::npos);
        EXPECT_FALSE(FileExists(root.dir + "/r")) << id;
    }
}

// Read wrapped, 4294967303 would be Id 7 and take over DEV_007's files; it
// is refused like 1000, and every file of the site stays as it was.
TEST(EndToEndStartup, IdPastThirtyTwoBitsIsRefusedAndTouchesNoFile)
{
    Site s;
    s.WriteProfile(7, kSimulated);
    WriteTextFile(s.Path("DEV_007.DAT"), std::string(16384, '\x01'));
    auto before = Snapshot(s.root.dir);
    ASSERT_TRUE(s.StartDriver("wex", "4294967303"));
    ASSERT_TRUE(ChildWait(&s.Driver(), 10000));
    EXPECT_EQ(s.Driver().exitStatus, 2);
    EXPECT_NE(s.DriverErrors().find("! Error !: The driver Id supplied as a command line "
                                    "parameter is either missing or invalid!"),
              std::string::npos);
    EXPECT_EQ(Snapshot(s.root.dir), before);
}

// The status period is checked too: read wrapped, 4294967297 would be 1.
TEST(EndToEndStartup, StatusPeriodPastItsRangeIsRefused)
{
    for (const char *seconds : {"4294967297", "86401", "-1"}) {
        TempRoot root;
        Child c;
        ASSERT_TRUE(StartChild(&c, {WEX_BIN, "--headless", "--status", seconds, "--root",
                                    root.dir + "/r", "7"},
                               {}, root.dir, "wex"));
        ASSERT_TRUE(ChildWait(&c, 10000));
        EXPECT_EQ(c.exitStatus, 64) << seconds;
        EXPECT_NE(ChildErrors(c).find("--status takes 0 to 86400 seconds"), std::string::npos);
        EXPECT_FALSE(FileExists(root.dir + "/r")) << seconds;
    }
}

TEST(EndToEndStartup, MissingSizesShowBothMessagesAndKeepStateFiles)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    WriteTextFile(s.Path("DEV_007.DAT"), std::string(16384, '\x01'));
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(ChildWait(&s.Driver(), 15000));
    EXPECT_NE(s.Driver().exitStatus, 0);
    std::string err = s.DriverErrors();
    size_t src = err.find("'DatabaseSize_0' parameter (sources)");
    size_t dst = err.find("'DatabaseSize_1' parameter (destinations)");
    ASSERT_NE(src, std::string::npos) << err;
    ASSERT_NE(dst, std::string::npos);
    EXPECT_LT(src, dst);
    // The profile documents itself; the stored tallies are untouched.
    std::string ini = ReadTextFile(s.Path("DEV_007.INI"));
    EXPECT_NE(ini.find("LeitchLevels=OBSOLETE"), std::string::npos);
    EXPECT_NE(ini.find("Access=ALL"), std::string::npos);
    EXPECT_EQ(ReadTextFile(s.Path("DEV_007.DAT")), std::string(16384, '\x01'));
    EXPECT_FALSE(FileExists(s.Path("DEV_007.LCK")));
}

TEST(EndToEndStartup, Id999IsAccepted)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(999, kSimulated);
    ASSERT_TRUE(s.StartDriver("wex", "999"));
    ASSERT_TRUE(s.WaitVek("code=2193 wparam="));
    EXPECT_EQ(s.StopDriver(), 0);
    EXPECT_TRUE(FileExists(s.Path("DEV_999.DAT")));
}

TEST(EndToEndStartup, NoVekEndsWithMessage)
{
    Site s;
    s.WriteProfile(7, kSimulated);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(ChildWait(&s.Driver(), 15000));
    EXPECT_NE(s.Driver().exitStatus, 0);
    EXPECT_NE(s.DriverErrors().find("Cannot find ZOLT Interface VEK.EXE"), std::string::npos);
    EXPECT_FALSE(FileExists(s.Path("DEV_007.DAT")));
}

TEST(EndToEndStartup, SecondInstanceIsRefused)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, kSimulated);
    ASSERT_TRUE(s.StartDriver("first", "7"));
    ASSERT_TRUE(s.WaitVek("code=2193"));
    ASSERT_TRUE(s.StartDriver("second", "  7 extra"));
    ASSERT_TRUE(ChildWait(&s.Driver("second"), 15000));
    EXPECT_NE(s.Driver("second").exitStatus, 0);
    EXPECT_NE(s.DriverErrors("second").find("Request refused - A driver has already registered this Id"),
              std::string::npos);
    EXPECT_TRUE(ChildRunning(&s.Driver("first")));
    EXPECT_EQ(s.StopDriver("first"), 0);
}

TEST(EndToEndStartup, RefusedRegistrationStillSavesTables)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--not-driver-mode"}));
    s.WriteProfile(7, kSimulated);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(ChildWait(&s.Driver(), 15000));
    EXPECT_NE(s.Driver().exitStatus, 0);
    EXPECT_NE(s.DriverErrors().find("Request refused - VEK has not been enabled in Driver Mode"),
              std::string::npos);
    EXPECT_EQ(ReadBinaryFile(s.Path("DEV_007.DAT")).size(), 16384u);
    EXPECT_EQ(ReadBinaryFile(s.Path("DEV_007.LCK")).size(), 4096u);
}

TEST(EndToEndStartup, SimulationRoutesLocksAndModes)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "3"}));
    s.WriteProfile(7, kSimulated);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("code=2193"));
    s.Vek("cmd 7 RC 7 4 9 ',---' 3");
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 009 004\"")) << s.VekLog();
    s.Vek("cmd 7 RL 7 9 9 1 3");
    s.Vek("cmd 7 RC 7 5 9 ',---' 3");  // locked: refused
    s.Vek("cmd 7 RQ 7 5 7 3");
    ASSERT_TRUE(s.WaitVek("wparam=32771")) << s.VekLog();  // 0x8003 on the last
    EXPECT_NE(s.VekLog().find("RX code=2188 wparam=3 lparam=0 from="), std::string::npos);
    EXPECT_EQ(CountOccurrences(s.VekLog(), "RX code=2188 wparam=3 "), 2u);
    // The network-status exchange for this workstation.
    s.Vek("text 7 2121 0 NS 001 003 'TXRX=2' a b c");
    ASSERT_TRUE(s.WaitVek("text=\"NS 007 003 'TXRX=2' a b c\"")) << s.VekLog();
    EXPECT_EQ(CountOccurrences(s.VekLog(), "text=\"RR 007 009 005\""), 0u);
    // Mode 5 only asks: the answer is the mode in force, Tx/Rx.
    s.Vek("msg 7 2733 5 0");
    ASSERT_TRUE(s.WaitVek("code=2733")) << s.VekLog();
    EXPECT_NE(s.VekLog().find("result=2"), std::string::npos);
    EXPECT_TRUE(s.WaitVek("code=2215"));
    EXPECT_EQ(s.StopDriver(), 0);
    auto lck = ReadBinaryFile(s.Path("DEV_007.LCK"));
    ASSERT_EQ(lck.size(), 4096u);
    EXPECT_EQ(lck[8], 1);
    auto names = Entries(s.root.dir);
    for (auto &n : names)
        EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;  // no stray temporary files
}
