// DEV_nnn.DAT and DEV_nnn.LCK: exact bytes, short files, the periodic save
// the rule that a run saves only what it has loaded, files that cannot be
// read, failed saves and links.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/profile.h"
#include "platform/root.h"
#include "routing/statefiles.h"
#include "routing/tables.h"
#include "platform/debug.h"
#include "shell/shell.h"
#include "tests/support/support.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<std::string> DebugLines;
void RecordDebug(const char *line) { DebugLines.emplace_back(line); }

class StateFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetRootDirectory(root.dir.c_str());
        ShellReset();
        ProfileReset();
        RoutingReset();
        StateFilesReset();
        DebugLines.clear();
        SetDebugSink(RecordDebug);
        Shell.DriverId = 7;
        Profile.DebugMode = 1;
        Profile.SaveDelay = 10;
        dat = root.File("DEV_007.DAT");
        lck = root.File("DEV_007.LCK");
    }
    void TearDown() override { SetDebugSink(nullptr); }

    void WriteBytes(const std::string &path, const Bytes &bytes)
    {
        WriteTextFile(path, std::string(bytes.begin(), bytes.end()));
    }
    // A start-up: both loads, after which saves are allowed.
    void LoadBoth()
    {
        LoadIndexFile();
        LoadLockFile();
    }
    bool Logged(const std::string &text)
    {
        for (const auto &line : DebugLines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    TempRoot root;
    std::string dat, lck;
};

TEST_F(StateFilesTest, MissingIndexFileIsCreatedWithParkedVirtuals)
{
    Profile.FirstVirtual = 100;
    Profile.ParkSource = 5;
    LoadIndexFile();
    EXPECT_FALSE(Shell.TablesLoaded);
    Bytes b = ReadBinaryFile(dat);
    ASSERT_EQ(b.size(), 16384u);
    for (size_t i = 0; i < 8192; ++i)
        ASSERT_EQ(b[i], 0) << i;
    for (size_t d = 1; d <= 4096; ++d) {
        size_t at = 8192 + 2 * (d - 1);
        ASSERT_EQ(b[at], 0) << d;
        ASSERT_EQ(b[at + 1], d >= 100 ? 5 : 0) << d;
    }
    EXPECT_EQ(Routing.VirtualTable[99], 0);
    EXPECT_EQ(Routing.VirtualTable[100], 5);
    EXPECT_EQ(Routing.VirtualTable[4096], 5);
    EXPECT_TRUE(DebugLines.empty());
}

TEST_F(StateFilesTest, EntriesAreBigEndianLow16Bits)
{
    LoadBoth();
    Routing.TallyTable[1] = 300;
    Routing.TallyTable[2] = -1;
    Routing.TallyTable[4096] = 0x12345;
    Routing.VirtualTable[1] = 0x0102;
    SaveIndexFile();
    Bytes b = ReadBinaryFile(dat);
    ASSERT_EQ(b.size(), 16384u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0x01, 0x2C, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(b.begin() + 8190, b.begin() + 8194), (Bytes{0x23, 0x45, 0x01, 0x02}));

    RoutingReset();
    LoadIndexFile();
    EXPECT_EQ(Routing.TallyTable[1], 300);
    EXPECT_EQ(Routing.TallyTable[2], 65535) << "-1 comes back as 65535";
    EXPECT_EQ(Routing.TallyTable[4096], 0x2345);
}

// With a revertive delay the loaded tallies stand until a reply changes
// them: the first tick neither parks them nor saves them as parked.
TEST_F(StateFilesTest, LoadedTalliesOutliveTheFirstRevertiveDelayTick)
{
    Bytes stored(16384, 0);
    stored[1] = 5;
    stored[3] = 9;
    WriteBytes(dat, stored);
    Profile.DatabaseSize_1 = 2;
    Profile.RevertiveDelay = 500;
    LoadBoth();
    ApplyPendingTallies();
    EXPECT_EQ(Routing.TallyTable[1], 5);
    EXPECT_EQ(Routing.TallyTable[2], 9);
    SaveIndexFile();
    EXPECT_EQ(ReadBinaryFile(dat), stored);
}

TEST_F(StateFilesTest, ShortIndexFileCountsMissingBytesAsMinusOne)
{
    Profile.FirstVirtual = 100;
    Profile.ParkSource = 5;
    WriteBytes(dat, {0, 1, 0, 2, 0, 3, 0, 4, 1, 0, 0x02});
    LoadIndexFile();
    EXPECT_EQ(Routing.TallyTable[1], 1);
    EXPECT_EQ(Routing.TallyTable[4], 4);
    EXPECT_EQ(Routing.TallyTable[5], 256);
    EXPECT_EQ(Routing.TallyTable[6], 256 * 2 - 1) << "cut after its high byte";
    EXPECT_EQ(Routing.TallyTable[7], -257);
    EXPECT_EQ(Routing.TallyTable[4096], -257);
    EXPECT_EQ(Routing.VirtualTable[1], -257);
    EXPECT_EQ(Routing.VirtualTable[99], -257);
    EXPECT_EQ(Routing.VirtualTable[100], 5);
    EXPECT_EQ(Routing.VirtualTable[4096], 5);
    EXPECT_EQ(ReadBinaryFile(dat).size(), 11u) << "a short file is loaded, not rewritten";
}

TEST_F(StateFilesTest, WithoutVirtualSourcesEveryUnsetEntryParks)
{
    Profile.FirstVirtual = 0;
    Profile.ParkSource = 3;
    LoadIndexFile();
    EXPECT_EQ(Routing.VirtualTable[1], 3);
    EXPECT_EQ(Routing.VirtualTable[4096], 3);
}

TEST_F(StateFilesTest, LockFile)
{
    WriteBytes(lck, {0x00, 0x01});
    LoadLockFile();
    EXPECT_TRUE(Shell.TablesLoaded);
    EXPECT_EQ(Routing.LockTable[1], 0);
    EXPECT_EQ(Routing.LockTable[2], 1);
    EXPECT_EQ(Routing.LockTable[3], -1) << "missing bytes load as locked";
    EXPECT_EQ(Routing.LockTable[4096], -1);

    Routing.LockTable[1] = 256;  // its low byte is 0, yet it is a lock
    Routing.LockTable[2] = 7;
    Routing.LockTable[4] = 0x1234;  // stored as its low byte
    SaveLockFile();
    Bytes b = ReadBinaryFile(lck);
    ASSERT_EQ(b.size(), 4096u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0x01, 0x07, 0xFF, 0x34}));
    LoadLockFile();
    EXPECT_EQ(Routing.LockTable[1], 1) << "256 stays locked across a restart";
    EXPECT_EQ(Routing.LockTable[2], 7);
    EXPECT_EQ(Routing.LockTable[3], 255);
}

TEST_F(StateFilesTest, MissingLockFileIsCreatedUnlocked)
{
    Routing.LockTable[9] = 1;
    LoadLockFile();
    EXPECT_EQ(Routing.LockTable[9], 0);
    EXPECT_EQ(ReadBinaryFile(lck), Bytes(4096, 0));
}

TEST_F(StateFilesTest, NothingIsSavedBeforeTheTablesWereLoaded)
{
    Bytes storedIndex(16384, 0x11), storedLocks(4096, 0x01);
    WriteBytes(dat, storedIndex);
    WriteBytes(lck, storedLocks);
    // A shutdown during start-up, before the loads.
    SaveIndexFile();
    SaveLockFile();
    Profile.SaveDelay = 1;
    PeriodicSaveTick();
    EXPECT_EQ(ReadBinaryFile(dat), storedIndex);
    EXPECT_EQ(ReadBinaryFile(lck), storedLocks);

    LoadBoth();
    Routing.TallyTable[1] = 2;
    Routing.LockTable[1] = 0;
    SaveIndexFile();
    SaveLockFile();
    EXPECT_EQ(ReadBinaryFile(dat)[1], 2);
    EXPECT_EQ(ReadBinaryFile(lck)[0], 0);
}

TEST_F(StateFilesTest, PeriodicSave)
{
    LoadBoth();
    Profile.SaveDelay = 1;
    Routing.TallyTable[1] = 1;
    PeriodicSaveTick();
    EXPECT_EQ(ReadBinaryFile(dat)[1], 1);
    Routing.TallyTable[1] = 2;
    PeriodicSaveTick();
    EXPECT_EQ(ReadBinaryFile(dat)[1], 2) << "SaveDelay 1 saves every minute";
    EXPECT_EQ(PeriodicSaveCounter(), 0u);

    Profile.SaveDelay = 3;
    Routing.TallyTable[1] = 3;
    PeriodicSaveTick();
    PeriodicSaveTick();
    EXPECT_EQ(ReadBinaryFile(dat)[1], 2);
    PeriodicSaveTick();
    EXPECT_EQ(ReadBinaryFile(dat)[1], 3);

    Profile.SaveDelay = -1;  // a huge unsigned number: never by the timer
    Routing.TallyTable[1] = 4;
    for (int i = 0; i < 1000; ++i)
        PeriodicSaveTick();
    EXPECT_EQ(ReadBinaryFile(dat)[1], 3);
    EXPECT_EQ(PeriodicSaveCounter(), 1000u);
    EXPECT_EQ(ReadBinaryFile(lck).size(), 4096u);
}

TEST_F(StateFilesTest, SavesFollowTheConfigPathAndLeaveNoTemporaryFiles)
{
    LoadBoth();
    std::string other = root.File("elsewhere");
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    WriteTextFile(root.File("zolt_config.ini"), "[Config]\nConfigPath=" + other + "\n");
    SaveIndexFile();
    SaveLockFile();
    EXPECT_EQ(ReadBinaryFile(other + "/DEV_007.DAT").size(), 16384u);
    EXPECT_EQ(ReadBinaryFile(other + "/DEV_007.LCK").size(), 4096u);

    std::vector<std::string> names;
    DIR *d = opendir(other.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"DEV_007.DAT", "DEV_007.LCK"}));
}

TEST_F(StateFilesTest, UnwritableDirectoryGivesTheDebugLines)
{
    std::string missing = root.File("no/such/dir");
    WriteTextFile(root.File("zolt_config.ini"), "[Config]\nConfigPath=" + missing + "\n");
    Routing.TallyTable[1] = 4;
    LoadBoth();  // nothing to load, nothing can be created
    EXPECT_EQ(Routing.TallyTable[1], 0);
    EXPECT_TRUE(Logged("<WE>-Couldn't write index file - '" + missing + "/DEV_007.DAT'"));
    EXPECT_TRUE(Logged("<WE>-Couldn't write lock file - '" + missing + "/DEV_007.LCK'"));

    DebugLines.clear();
    Profile.DebugMode = 0;
    SaveIndexFile();
    EXPECT_TRUE(DebugLines.empty()) << "visible only with DebugMode on";
}

TEST_F(StateFilesTest, PathOver79CharactersIsNeverUsed)
{
    std::string dir = root.dir + "/" + std::string(79 - 12 - root.dir.size(), 'd');
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    WriteTextFile(root.File("zolt_config.ini"), "[Config]\nConfigPath=" + dir + "\n");
    LoadBoth();
    SaveIndexFile();
    EXPECT_FALSE(FileExists(dir + "/DEV_007.DAT"));
    EXPECT_FALSE(FileExists(dir + "/DEV_007.LCK"));
    EXPECT_TRUE(Logged("Couldn't write index file - '" + dir + "/DEV_007.DAT'"));
}

// A state file that exists but cannot be read is not a missing one: the
// load says so, leaves the tables and the file alone, and this run never
// saves that file.  A FIFO or a directory in its place counts the same.
TEST_F(StateFilesTest, UnreadableFilesAreNeitherLoadedNorSaved)
{
    const struct {
        const char *name;
        const char *error;
    } cases[] = {{"no permission", "Permission denied"}, {"fifo", "not a regular file"},
                 {"directory", "not a regular file"}};
    for (const auto &c : cases) {
        Bytes storedIndex(16384, 0x05), storedLocks(4096, 0x01);
        std::string name = c.name;
        for (const std::string &path : {dat, lck}) {
            unlink(path.c_str());
            rmdir(path.c_str());
            if (name == "fifo") {
                ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
            } else if (name == "directory") {
                ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
            }
        }
        if (name == "no permission") {
            WriteBytes(dat, storedIndex);
            WriteBytes(lck, storedLocks);
            chmod(dat.c_str(), 0600);
            chmod(lck.c_str(), 0600);
            if (geteuid() == 0) {
                ASSERT_EQ(chown(dat.c_str(), 1234, 1234), 0);
                ASSERT_EQ(chown(lck.c_str(), 1234, 1234), 0);
            }
        }
        int rc = RunWithoutFileRights([&] {
            Routing.TallyTable[1] = 77;
            Routing.LockTable[1] = 3;
            if (LoadIndexFile() || LoadLockFile() || StateFilesReadable() || Shell.TablesLoaded)
                return 1;
            if (Routing.TallyTable[1] != 77 || Routing.LockTable[1] != 3)
                return 2;
            SaveIndexFile();
            SaveLockFile();
            std::string error = std::string("': ") + c.error;
            if (!Logged("Couldn't read index file - '" + dat + error) ||
                !Logged("Couldn't read lock file - '" + lck + error))
                return 3;
            return 0;
        });
        EXPECT_EQ(rc, 0) << c.name;
        if (name == "no permission") {
            EXPECT_EQ(ReadBinaryFile(dat), storedIndex);
            EXPECT_EQ(ReadBinaryFile(lck), storedLocks);
        }
    }
}

// Descriptors used up at start-up (EMFILE): nothing loads, and the
// shutdown saves, once descriptors are back, write no zeros.
TEST_F(StateFilesTest, NoDescriptorsLeftAtLoadSavesNoZeros)
{
    Bytes storedIndex(16384, 0x0C), storedLocks(4096, 0x01);
    WriteBytes(dat, storedIndex);
    WriteBytes(lck, storedLocks);
    WriteTextFile(root.File("zolt_config.ini"), "[Config]\nConfigPath=" + root.dir + "\n");
    int rc = RunWithoutFileRights([&] {
        struct rlimit saved;
        getrlimit(RLIMIT_NOFILE, &saved);
        int lowest = dup(0);  // the next descriptor an open would get
        close(lowest);
        struct rlimit none = saved;
        none.rlim_cur = static_cast<rlim_t>(lowest);
        setrlimit(RLIMIT_NOFILE, &none);
        bool loaded = LoadIndexFile() | LoadLockFile();
        setrlimit(RLIMIT_NOFILE, &saved);
        SaveIndexFile();
        SaveLockFile();
        return loaded ? 1 : Logged("Too many open files") ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadBinaryFile(dat), storedIndex);
    EXPECT_EQ(ReadBinaryFile(lck), storedLocks);
}

// A failed save is an event line, whatever DebugMode says: once for a run
// of failures, once more when saving works again; every save still tries.
TEST_F(StateFilesTest, FailedSavesAreSaidOnceAndTheirEnd)
{
    Profile.DebugMode = 0;
    LoadBoth();
    chmod(dat.c_str(), 0444);  // a file nobody may write is not replaced
    std::string failed = "007 WEX 1 - Couldn't save index file - '" + dat + "': Permission denied";
    std::string again = "007 WEX 1 - The index file is saved again - '" + dat + "'";
    auto count = [&](const std::string &text) {
        return std::count_if(DebugLines.begin(), DebugLines.end(),
                             [&](const std::string &l) { return l.find(text) != std::string::npos; });
    };
    for (int i = 0; i < 3; ++i)
        SaveIndexFile();
    EXPECT_EQ(count(failed), 1);
    EXPECT_EQ(count(again), 0);
    chmod(dat.c_str(), 0644);
    Routing.TallyTable[1] = 9;
    SaveIndexFile();
    SaveIndexFile();
    EXPECT_EQ(ReadBinaryFile(dat)[1], 9);
    EXPECT_EQ(count(again), 1);
    EXPECT_EQ(count(failed), 1);
    EXPECT_EQ(DebugLines.size(), 2u);
}

// The state files may be links the operator made: saves go to the target,
// which keeps its mode; the link stays.
TEST_F(StateFilesTest, SavesWriteThroughLinksKeepingTheMode)
{
    ASSERT_EQ(mkdir(root.File("store").c_str(), 0755), 0);
    WriteBytes(root.File("store/tallies"), Bytes(16384, 0));
    chmod(root.File("store/tallies").c_str(), 0600);
    ASSERT_EQ(symlink("store/tallies", dat.c_str()), 0);
    LoadBoth();
    Routing.TallyTable[1] = 300;
    SaveIndexFile();
    struct stat st;
    ASSERT_EQ(lstat(dat.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(FileMode(root.File("store/tallies")), 0600u);
    Bytes b = ReadBinaryFile(root.File("store/tallies"));
    ASSERT_EQ(b.size(), 16384u);
    EXPECT_EQ(b[0], 0x01);
    EXPECT_EQ(b[1], 0x2C);
}

}  // namespace
