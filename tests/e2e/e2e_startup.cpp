// Start-up and shutdown of the real program: refusals, messages, exit
// statuses and the files left behind: profiles that are read-only, links,
// LF-only or unreadable.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

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

}  // namespace

TEST(EndToEndStartup, InvalidIdCreatesNothing)
{
    for (const char *id : {"abc", "0", "-3", "1000", ""}) {
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

namespace {

struct stat LinkStat(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// One run of the driver, without root's right to ignore file modes: up to
// its registration, then a SIGTERM.
void RunOnce(Site &s)
{
    s.driversWithoutFileRights = true;
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("code=2193")) << s.DriverErrors();
    EXPECT_EQ(s.StopDriver(), 0) << s.DriverErrors();
}

}  // namespace

// A read-only profile is read as it is and keeps its gaps (no TallyDelay).
TEST(EndToEndStartup, ReadOnlyProfileIsLeftAlone)
{
    Site s;
    s.WriteProfile(7, kSimulated);
    chmod(s.Path("DEV_007.INI").c_str(), 0444);
    RunOnce(s);
    EXPECT_EQ(ReadTextFile(s.Path("DEV_007.INI")), kSimulated);
    EXPECT_EQ(FileMode(s.Path("DEV_007.INI")), 0444u);
}

// A profile that is a link stays that link; the target gets the written-back
// keys and keeps its mode.
TEST(EndToEndStartup, LinkedProfileIsWrittenThroughTheLink)
{
    Site s;
    ASSERT_EQ(mkdir(s.Path("shared").c_str(), 0755), 0);
    std::string target = s.Path("shared/device7.ini");
    WriteTextFile(target, kSimulated);
    chmod(target.c_str(), 0640);
    ASSERT_EQ(symlink(target.c_str(), s.Path("DEV_007.INI").c_str()), 0);
    RunOnce(s);
    EXPECT_TRUE(S_ISLNK(LinkStat(s.Path("DEV_007.INI")).st_mode));
    std::string ini = ReadTextFile(target);
    EXPECT_EQ(ini.rfind(kSimulated, 0), 0u) << ini;
    EXPECT_NE(ini.find("TallyDelay=2000\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("LeitchLevels=OBSOLETE\n"), std::string::npos) << ini;
    EXPECT_EQ(FileMode(target), 0640u);
}

// An LF-only profile stays LF-only: no tool that reads it gets a CR.
TEST(EndToEndStartup, LfOnlyProfileGetsNoCarriageReturn)
{
    Site s;
    s.WriteProfile(7, kSimulated);
    WriteTextFile(s.Path("zolt_config.ini"), "[Config]\nSystemPath=" + s.root.dir + "\n");
    RunOnce(s);
    for (const char *name : {"DEV_007.INI", "zolt_config.ini", "KALDERA.INI"}) {
        std::string text = ReadTextFile(s.Path(name));
        EXPECT_EQ(text.find('\r'), std::string::npos) << name << ": " << text;
    }
    EXPECT_NE(ReadTextFile(s.Path("DEV_007.INI")).find("TallyDelay=2000\n"), std::string::npos);
    EXPECT_NE(ReadTextFile(s.Path("zolt_config.ini")).find("ConfigPath=" + s.root.dir + "\n"),
              std::string::npos);
}

// A profile the driver cannot read is not an empty one: start-up fails with
// a clear message, the profile is untouched, and the driver never takes a
// command (it never registers).
TEST(EndToEndStartup, UnreadableProfileStopsTheStart)
{
    Site s;
    s.driversWithoutFileRights = true;
    ASSERT_TRUE(s.StartVek({"--workstation", "9"}));
    const std::string profile = std::string(kSimulated) + "[Security]\nAccess=5\n";
    s.WriteProfile(7, profile);
    chmod(s.Path("DEV_007.INI").c_str(), 0600);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(s.Path("DEV_007.INI").c_str(), 1234, 1234), 0);
    }
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    s.Vek("cmd 7 RC 7 4 9 ',---' 9");
    ASSERT_TRUE(ChildWait(&s.Driver(), 15000));
    EXPECT_NE(s.Driver().exitStatus, 0);
    EXPECT_NE(s.DriverErrors().find("! Error !: The device profile INI File '" + s.Path("DEV_007.INI") +
                                    "' cannot be read (Permission denied); the driver does not start."),
              std::string::npos)
        << s.DriverErrors();
    EXPECT_EQ(ReadTextFile(s.Path("DEV_007.INI")), profile);
    EXPECT_EQ(FileMode(s.Path("DEV_007.INI")), 0600u);
    s.Vek("cmd 7 RC 7 4 9 ',---' 9");
    s.Vek("cmd 7 RQ 7 9 9 9");
    ASSERT_TRUE(s.WaitVek("ERR no driver 7 is registered", 3)) << s.VekLog();
    EXPECT_EQ(CountOccurrences(s.VekLog(), "code=2193"), 0u) << s.VekLog();
    EXPECT_EQ(CountOccurrences(s.VekLog(), "RR 007"), 0u) << s.VekLog();
    EXPECT_FALSE(FileExists(s.Path("DEV_007.DAT")));
}

// Every save renames its temporary file over the old one and then flushes
// the directory, so a power cut cannot bring the previous save back.  Seen
// with strace on a run that saves at load and again at its shutdown.
TEST(EndToEndStartup, SavesFlushTheDirectoryAfterTheRename)
{
    if (system("strace -f -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed or may not trace here";
    Site s;
    std::string trace = s.Path("trace.log");
    s.driverPrefix = {"strace", "-f", "-o", trace, "-e", "trace=openat,rename,renameat,renameat2,fsync"};
    ASSERT_TRUE(s.StartVek({"--not-driver-mode"}));
    s.WriteProfile(7, kSimulated);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(ChildWait(&s.Driver(), 30000));
    std::istringstream lines(ReadTextFile(trace));
    std::string line, directoryFd;
    int renames = 0, flushed = 0;
    bool renamed = false;
    while (std::getline(lines, line)) {
        if (line.find("rename") != std::string::npos && line.find(".tmp") != std::string::npos &&
            line.find(") = 0") != std::string::npos) {
            ++renames;
            renamed = true;
            directoryFd.clear();
        } else if (renamed && line.find("openat(AT_FDCWD, \"" + s.root.dir + "\", ") != std::string::npos &&
                   line.find("O_DIRECTORY") != std::string::npos) {
            directoryFd = line.substr(line.rfind("= ") + 2);
        } else if (renamed && !directoryFd.empty() &&
                   line.find("fsync(" + directoryFd + ")") != std::string::npos) {
            ++flushed;
            renamed = false;
        }
    }
    EXPECT_GE(renames, 4) << "DAT and LCK created at load, saved at shutdown";
    EXPECT_EQ(flushed, renames) << ReadTextFile(trace);
}
