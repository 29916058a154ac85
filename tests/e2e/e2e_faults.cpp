// What goes wrong in a machine room, with real processes: a router that
// sends noise or falls silent, one that is power-cycled, VEK killed or hung
// while the driver runs, the driver itself killed and restarted, and state
// files cut short, unreadable state files and a full file system.  After
// each fault the driver's tallies must again match the routers' crosspoints.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/system.h"
#include "tests/support/tallies.h"

namespace {

// HBXRCP serves destinations 1..16 on COM1, PROBEL 17..32 on COM2.
const char kProfile[] =
    "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
    "[WEX]\nInitTallyDelay=20\nTallyDelay=100\nCommErrorLimit=3\n"
    "[Com_1]\nPort=1\nMinDest=1\nMaxDest=16\nProtocol=HBXRCP\nSpeed=38400\n"
    "[Com_2]\nPort=2\nMinDest=17\nMaxDest=32\nProtocol=PROBEL\nSpeed=38400\n";

// Destination d of the PROBEL router starts with source d - 16.
std::vector<std::string> ProbelPresets()
{
    std::string presets;
    for (int d = 17; d <= 32; ++d)
        presets += (d > 17 ? "," : "") + std::to_string(d) + "=" + std::to_string(d - 16);
    return {"--min-dest", "17", "--preset", presets};
}

bool StartRouters(Site &s)
{
    return s.StartRouter(1, "HBXRCP", 16, 16, {"--identity"}) &&
           s.StartRouter(2, "PROBEL", 16, 32, ProbelPresets());
}

// vek, both routers and the driver, through the end of the start-up sweep.
void StartSite(Site &s)
{
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(StartRouters(s));
    s.WriteProfile(7, kProfile);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("code=2187", 32)) << s.VekLog() << s.DriverErrors();
    ASSERT_TRUE(WaitCommandsAccepted(s, 7)) << s.VekLog() << s.DriverErrors();
}

std::string Rr(int dest, int source)
{
    char text[40];
    std::snprintf(text, sizeof text, "text=\"RR 007 %03d %03d\"", dest, source);
    return text;
}

void Route(Site &s, int source, int dest)
{
    s.Vek("cmd 7 RC 7 " + std::to_string(source) + " " + std::to_string(dest) + " ',---' 0");
}

// The PROBEL connect frame of source s to destination d (MinDest 17), as
// the simulator logs it.
std::string ProbelConnect(int source, int dest)
{
    int w = dest - 17, v = source - 1;
    unsigned char m[5] = {0x02, static_cast<unsigned char>(((v >> 7) & 7) | ((w & 0x380) >> 3)),
                          static_cast<unsigned char>(w & 0x7F), static_cast<unsigned char>(v & 0x7F), 0};
    unsigned sum = m[0] + m[1] + m[2] + m[3];
    m[4] = static_cast<unsigned char>((0u - sum) & 0x7F);
    char text[40];
    std::snprintf(text, sizeof text, "RX ff %02x %02x %02x %02x %02x", m[0], m[1], m[2], m[3], m[4]);
    return text;
}

// Lets both ports poll their whole range once more, then checks that the
// driver's report of every destination matches the routers.
void ExpectDriverMatchesRouters(Site &s, int tag)
{
    size_t mark1 = RouterLines(s, 1, "TX "), mark2 = RouterLines(s, 2, "TX ");
    ASSERT_TRUE(WaitRouterReplies(s, 1, mark1, 18)) << s.RouterLog(1);
    ASSERT_TRUE(WaitRouterReplies(s, 2, mark2, 18)) << s.RouterLog(2);
    TallyMap router = RouterCrosspoints(s, 1);
    TallyMap second = RouterCrosspoints(s, 2);
    ASSERT_EQ(router.size(), 16u);
    ASSERT_EQ(second.size(), 32u);
    for (int d = 17; d <= 32; ++d)
        router[d] = second[d];
    TallyMap driver = ReportedTallies(s, 7, 1, 32, tag);
    ASSERT_EQ(driver.size(), 32u) << s.VekLog();
    EXPECT_EQ(Differences(driver, router, 1, 32), "");
}

std::vector<std::string> TempFiles(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name).find(".tmp") != std::string::npos)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

}  // namespace

// Noise on one line: that port fails and recovers, the other routes on
// undisturbed, a route made into the noise is picked up by the polls.
TEST(EndToEndFaults, GarbageOnOneRouterThenRecovery)
{
    Site s;
    StartSite(s);
    s.Router(1, "garbage on");
    ASSERT_TRUE(s.WaitDriverErrors("007 WEX 1 - Comms fail on port 1")) << s.DriverErrors();
    Route(s, 9, 20);  // the other port answers as usual
    ASSERT_TRUE(s.WaitVek(Rr(20, 9))) << s.VekLog();
    Route(s, 11, 4);  // reaches the router; its answer drowns in noise
    ASSERT_TRUE(s.WaitRouter(1, "RX .SA4,11")) << s.RouterLog(1);
    EXPECT_TRUE(ChildRunning(&s.Driver()));

    s.Router(1, "garbage off");
    ASSERT_TRUE(s.WaitDriverErrors("007 WEX 1 - Comms ok on port 1")) << s.DriverErrors();
    ASSERT_TRUE(s.WaitVek(Rr(4, 11))) << s.VekLog();
    ExpectDriverMatchesRouters(s, 101);

    // PROBEL counts any byte as a sign of life, so its port stays up; the
    // noise must still not leave a wrong tally behind once it stops.
    s.Router(2, "garbage on");
    size_t noise = RouterLines(s, 2, "NOISE ");
    ASSERT_TRUE(WaitFor([&] { return RouterLines(s, 2, "NOISE ") >= noise + 20; })) << s.RouterLog(2);
    Route(s, 3, 30);
    ASSERT_TRUE(s.WaitRouter(2, ProbelConnect(3, 30))) << s.RouterLog(2);
    s.Router(2, "garbage off");
    ASSERT_TRUE(s.WaitRouter(2, "OK garbage off"));
    ASSERT_TRUE(s.WaitVek(Rr(30, 3))) << s.VekLog();
    ExpectDriverMatchesRouters(s, 102);
    EXPECT_EQ(s.StopDriver(), 0) << s.DriverErrors();
}

// A router that stops answering still takes the routes sent to it; once it
// answers again the driver reports what it now carries.
TEST(EndToEndFaults, SilentRouterTakesRoutesAndIsReadBackAfterRecovery)
{
    Site s;
    StartSite(s);
    s.Router(2, "silent on");
    ASSERT_TRUE(s.WaitDriverErrors("007 WEX 1 - Comms fail on port 2")) << s.DriverErrors();
    Route(s, 11, 25);
    ASSERT_TRUE(s.WaitRouter(2, ProbelConnect(11, 25))) << s.RouterLog(2);
    Route(s, 2, 5);  // the healthy port is not held up
    ASSERT_TRUE(s.WaitVek(Rr(5, 2))) << s.VekLog();
    EXPECT_EQ(CountOccurrences(s.VekLog(), Rr(25, 11)), 0u);

    s.Router(2, "silent off");
    ASSERT_TRUE(s.WaitDriverErrors("007 WEX 1 - Comms ok on port 2")) << s.DriverErrors();
    ASSERT_TRUE(s.WaitVek(Rr(25, 11))) << s.VekLog();
    ExpectDriverMatchesRouters(s, 103);
    EXPECT_EQ(s.StopDriver(), 0);
}

// The router is switched off and on again: its line goes away, a new one
// appears at the same path, and the driver finds it by itself.
TEST(EndToEndFaults, RouterPowerCycledIsFoundAgain)
{
    Site s;
    StartSite(s);
    ChildStop(&s.routers[1]);
    ASSERT_TRUE(s.WaitDriverErrors("007 WEX 1 - Comms fail on port 1")) << s.DriverErrors();
    // It comes back with other crosspoints (its memory was lost).
    ASSERT_TRUE(s.StartRouter(1, "HBXRCP", 16, 16, {"--preset", "1=9,2=9,16=1"}));
    ASSERT_TRUE(s.WaitDriverErrors("007 WEX 1 - Comms ok on port 1", "wex", 60000)) << s.DriverErrors();
    ASSERT_TRUE(s.WaitVek(Rr(1, 9))) << s.VekLog();
    ASSERT_TRUE(s.WaitVek(Rr(3, -1))) << s.VekLog();
    Route(s, 6, 3);
    ASSERT_TRUE(s.WaitVek(Rr(3, 6))) << s.VekLog();
    ExpectDriverMatchesRouters(s, 104);
    EXPECT_EQ(s.StopDriver(), 0);
}

// VEK dies under the driver: the driver keeps polling and keeping its
// tables (reports to a dead VEK fail at once instead of waiting), and a
// SIGTERM still shuts it down cleanly with its files saved.
TEST(EndToEndFaults, VekKilledWhileTheDriverRuns)
{
    Site s;
    StartSite(s);
    kill(s.vek.pid, SIGKILL);
    ASSERT_TRUE(ChildWait(&s.vek, 5000));
    // Ten changes on the router's own panel: ten revertives for nobody.
    for (int d = 1; d <= 10; ++d)
        s.Router(1, "set 1 " + std::to_string(d) + " " + std::to_string(17 - d));
    ASSERT_TRUE(s.WaitRouter(1, "OK set 1 10 7"));
    // Had each report waited out the bus's bound, these polls would not
    // come before the deadline.
    size_t polls = RouterLines(s, 1, "RX .IA");
    ASSERT_TRUE(WaitFor([&] { return RouterLines(s, 1, "RX .IA") >= polls + 30; }, 20000)) << s.RouterLog(1);
    EXPECT_TRUE(ChildRunning(&s.Driver()));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.StopDriver(), 0) << s.DriverErrors();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    TallyMap stored = StoredTallies(s.Path("DEV_007.DAT"), 1, 16);
    for (int d = 1; d <= 10; ++d)
        EXPECT_EQ(stored[d], 17 - d) << d;
    EXPECT_EQ(stored[11], 11);
    EXPECT_EQ(ReadBinaryFile(s.Path("DEV_007.DAT")).size(), 16384u);
    EXPECT_EQ(ReadBinaryFile(s.Path("DEV_007.LCK")).size(), 4096u);
    EXPECT_EQ(TempFiles(s.root.dir), std::vector<std::string>{});
}

// VEK hangs (stopped, its socket still there): every report costs the bus's
// bound, but the driver still shuts down on SIGTERM and saves.
TEST(EndToEndFaults, VekHungWhileTheDriverRuns)
{
    Site s;
    StartSite(s);
    // The driver's own window, asked while VEK still answers: the tally
    // read below must not go through VEK.
    std::string window = Wexmsg(s, {"send", "vek", "31233", "7"});
    ASSERT_EQ(window.rfind("result=", 0), 0u) << window;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", static_cast<uint32_t>(std::stoll(window.substr(7))));
    window = hex;
    kill(s.vek.pid, SIGSTOP);
    s.Router(1, "set 1 7 3");
    ASSERT_TRUE(s.WaitRouter(1, "OK set 1 7 3"));
    // The stop must come after the driver has read the change, or there is
    // nothing to save; it answers this even while it waits on VEK.
    ASSERT_TRUE(WaitFor([&] {
        return Wexmsg(s, {"--text", "", "--size", "64", "send", window, "31242", "7"})
                   .find("text=\"7 3 ") != std::string::npos;
    }, 20000));
    kill(s.Driver().pid, SIGTERM);
    bool ended = ChildWait(&s.Driver(), 40000);
    kill(s.vek.pid, SIGCONT);
    ASSERT_TRUE(ended) << s.DriverErrors();
    EXPECT_EQ(s.Driver().exitStatus, 0) << s.DriverErrors();
    EXPECT_EQ(StoredTallies(s.Path("DEV_007.DAT"), 7, 7)[7], 3);
}

// The driver is killed outright (no shutdown, no save) and started again:
// it registers under the same Id, ignores what a killed save left behind,
// and reads the routers afresh.
TEST(EndToEndFaults, DriverKilledAndRestarted)
{
    Site s;
    StartSite(s);
    Route(s, 8, 2);
    ASSERT_TRUE(s.WaitVek(Rr(2, 8))) << s.VekLog();
    kill(s.Driver().pid, SIGKILL);
    ASSERT_TRUE(ChildWait(&s.Driver(), 5000));
    EXPECT_EQ(ReadBinaryFile(s.Path("DEV_007.DAT")).size(), 16384u);
    // What a save killed between its temporary file and the rename leaves.
    WriteTextFile(s.Path("DEV_007.DAT.tmpK1ll3d"), std::string(5000, '\x07'));
    WriteTextFile(s.Path("DEV_007.LCK.tmpK1ll3d"), std::string(10, '\x01'));

    size_t sweeps = CountOccurrences(s.VekLog(), "code=2187");
    ASSERT_TRUE(s.StartDriver("again", "7"));
    ASSERT_TRUE(s.WaitVek("code=2187", sweeps + 32)) << s.VekLog() << s.DriverErrors("again");
    ASSERT_TRUE(WaitCommandsAccepted(s, 7)) << s.VekLog() << s.DriverErrors("again");
    EXPECT_EQ(CountOccurrences(s.VekLog(), "RX code=2193 "), 2u);
    EXPECT_EQ(s.DriverErrors("again").find("Request refused"), std::string::npos);
    EXPECT_TRUE(ChildRunning(&s.Driver("again")));
    EXPECT_EQ(TempFiles(s.root.dir), std::vector<std::string>{});
    Route(s, 1, 2);
    ASSERT_TRUE(s.WaitVek(Rr(2, 1))) << s.VekLog();
    ExpectDriverMatchesRouters(s, 105);
    EXPECT_EQ(s.StopDriver("again"), 0);
}

// DEV_007.DAT cut to 10 bytes and DEV_007.LCK to 2: the driver starts,
// loads what there is (the rest as the loading rules say), keeps running
// and writes whole files again at shutdown.
TEST(EndToEndFaults, TruncatedStateFilesAtStartUp)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\nSimulation=1\n");
    WriteTextFile(s.Path("DEV_007.DAT"), std::string("\x00\x05\x00\x06\x00\x07\x00\x08\x00\x09", 10));
    WriteTextFile(s.Path("DEV_007.LCK"), std::string("\x00\x01", 2));
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("code=2193")) << s.DriverErrors();

    TallyMap loaded = ReportedTallies(s, 7, 1, 8, 7);
    EXPECT_EQ(loaded, (TallyMap{{1, 5}, {2, 6}, {3, 7}, {4, 8}, {5, 9}, {6, -1}, {7, -1}, {8, -1}}));
    // Destination 1 is unlocked; a missing lock byte counts as locked.
    Route(s, 3, 1);
    ASSERT_TRUE(s.WaitVek(Rr(1, 3))) << s.VekLog();
    Route(s, 3, 4);
    EXPECT_EQ(ReportedTallies(s, 7, 4, 4, 8)[4], 8);
    s.Vek("cmd 7 RL 7 4 4 0 0");
    Route(s, 3, 4);
    ASSERT_TRUE(s.WaitVek(Rr(4, 3))) << s.VekLog();

    EXPECT_EQ(s.StopDriver(), 0) << s.DriverErrors();
    auto dat = ReadBinaryFile(s.Path("DEV_007.DAT"));
    ASSERT_EQ(dat.size(), 16384u);
    EXPECT_EQ(std::vector<unsigned char>(dat.begin(), dat.begin() + 16),
              (std::vector<unsigned char>{0, 3, 0, 6, 0, 7, 0, 3, 0, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    auto lck = ReadBinaryFile(s.Path("DEV_007.LCK"));
    ASSERT_EQ(lck.size(), 4096u);
    EXPECT_EQ(std::vector<unsigned char>(lck.begin(), lck.begin() + 5),
              (std::vector<unsigned char>{0, 1, 0xFF, 0, 0xFF}));
}

// DEV_007.DAT and DEV_007.LCK that the driver's user cannot read are not
// missing files: event lines name both, start-up is abandoned, and both
// files are byte for byte what they were.
TEST(EndToEndFaults, UnreadableStateFilesAreKept)
{
    Site s;
    s.driversWithoutFileRights = true;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\nSimulation=1\n");
    const std::string tallies(16384, '\x0C'), locks(4096, '\x01');
    WriteTextFile(s.Path("DEV_007.DAT"), tallies);
    WriteTextFile(s.Path("DEV_007.LCK"), locks);
    for (const char *name : {"DEV_007.DAT", "DEV_007.LCK"}) {
        chmod(s.Path(name).c_str(), 0600);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(s.Path(name).c_str(), 1234, 1234), 0);
        }
    }
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    if (!ChildWait(&s.Driver(), 15000))
        s.StopDriver();  // a SIGTERM, should it still run
    EXPECT_NE(s.Driver().exitStatus, 0);
    std::string err = s.DriverErrors();
    EXPECT_NE(err.find("007 WEX 1 - Couldn't read index file - '" + s.Path("DEV_007.DAT") +
                       "': Permission denied"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("007 WEX 1 - Couldn't read lock file - '" + s.Path("DEV_007.LCK") +
                       "': Permission denied"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("cannot be read; the driver does not start."), std::string::npos) << err;
    EXPECT_EQ(ReadTextFile(s.Path("DEV_007.DAT")), tallies);
    EXPECT_EQ(ReadTextFile(s.Path("DEV_007.LCK")), locks);
    EXPECT_EQ(CountOccurrences(s.VekLog(), "code=2193"), 0u);
}

namespace {

// A small tmpfs at dir, unmounted (lazily) at the end.
struct SmallFileSystem {
    std::string dir;
    bool mounted = false;
    explicit SmallFileSystem(const std::string &at) : dir(at)
    {
        mkdir(dir.c_str(), 0700);
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0700") == 0;
    }
    ~SmallFileSystem()
    {
        if (mounted)
            umount2(dir.c_str(), MNT_DETACH);
    }
};

// Fills the file system that holds dir until a write fails for want of space.
bool Fill(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::string chunk(1024, 'f');
    while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
    return true;
}

}  // namespace

// Saves into a full file system fail: said once as an event line for the
// whole run of failures, once more when space returns and a save works.
TEST(EndToEndFaults, FullFileSystemIsSaidOnceAndAgainWhenSavingWorks)
{
    Site s;
    SmallFileSystem fs(s.Path("state"));
    if (!fs.mounted)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    WriteTextFile(s.Path("zolt_config.ini"), "[Config]\nConfigPath=" + fs.dir + "\n");
    WriteTextFile(fs.dir + "/DEV_007.INI",
                  "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\nSimulation=1\n");
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("code=2193")) << s.DriverErrors();
    ASSERT_TRUE(Fill(fs.dir + "/filler"));

    const std::string lck = fs.dir + "/DEV_007.LCK";
    const std::string failed = "007 WEX 1 - Couldn't save lock file - '" + lck + "': No space left on device";
    const std::string again = "007 WEX 1 - The lock file is saved again - '" + lck + "'";
    // Each lock command saves the lock file; a report after it shows it was done.
    auto lockAndWait = [&](int dest, int tag) {
        s.Vek("cmd 7 RL 7 " + std::to_string(dest) + " " + std::to_string(dest) + " 1 0");
        s.Vek("cmd 7 RQ 7 " + std::to_string(dest) + " " + std::to_string(dest) + " " + std::to_string(tag));
        return s.WaitVek("RX code=2188 wparam=" + std::to_string(0x8000 | tag) + " ");
    };
    ASSERT_TRUE(lockAndWait(3, 11)) << s.VekLog();
    ASSERT_TRUE(lockAndWait(4, 12)) << s.VekLog();
    ASSERT_TRUE(s.WaitDriverErrors(failed)) << s.DriverErrors();
    EXPECT_EQ(ReadBinaryFile(lck), std::vector<unsigned char>(4096, 0)) << "the old file stays whole";

    unlink((fs.dir + "/filler").c_str());
    ASSERT_TRUE(lockAndWait(5, 13)) << s.VekLog();
    ASSERT_TRUE(lockAndWait(6, 14)) << s.VekLog();
    ASSERT_TRUE(s.WaitDriverErrors(again)) << s.DriverErrors();
    EXPECT_EQ(s.StopDriver(), 0);
    EXPECT_EQ(CountOccurrences(s.DriverErrors(), failed), 1u) << s.DriverErrors();
    EXPECT_EQ(CountOccurrences(s.DriverErrors(), again), 1u) << s.DriverErrors();
    auto stored = ReadBinaryFile(lck);
    ASSERT_EQ(stored.size(), 4096u);
    for (int d = 3; d <= 6; ++d)
        EXPECT_EQ(stored[d - 1], 1) << d;
    EXPECT_EQ(TempFiles(fs.dir), std::vector<std::string>{});
}
