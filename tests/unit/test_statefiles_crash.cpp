// DEV_nnn.DAT and DEV_nnn.LCK when things go wrong: a writer killed in the
// middle of its saves, over and over; the leftovers of killed writers; a
// configuration directory that refuses writes.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
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

// Two versions of the tables that differ in every entry, and the bytes
// each must give on disk (built here from the layout, not by the saver).
void FillTables(int version)
{
    for (int d = 1; d <= kMaxDest; ++d) {
        Routing.TallyTable[d] = version == 0 ? d : (d * 7) % 4099 + 5000;
        Routing.VirtualTable[d] = version == 0 ? d % 13 : 9000 - d;
        Routing.LockTable[d] = version == 0 ? d % 2 : 1 + d % 200;
    }
}

Bytes IndexBytes(int version)
{
    FillTables(version);
    Bytes b;
    for (const auto *table : {Routing.TallyTable, Routing.VirtualTable})
        for (int d = 1; d <= kMaxDest; ++d) {
            b.push_back(static_cast<unsigned char>((table[d] >> 8) & 0xFF));
            b.push_back(static_cast<unsigned char>(table[d] & 0xFF));
        }
    return b;
}

Bytes LockBytes(int version)
{
    FillTables(version);
    Bytes b;
    for (int d = 1; d <= kMaxDest; ++d)
        b.push_back(static_cast<unsigned char>(Routing.LockTable[d] & 0xFF));
    return b;
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
    std::sort(names.begin(), names.end());
    return names;
}

class StateFilesCrashTest : public ::testing::Test {
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
        Profile.FirstVirtual = 0;
        dat = root.File("DEV_007.DAT");
        lck = root.File("DEV_007.LCK");
    }
    void TearDown() override
    {
        chmod(root.dir.c_str(), 0700);
        SetDebugSink(nullptr);
    }
    // A start-up: both loads, after which saves are allowed.
    void LoadBoth()
    {
        LoadIndexFile();
        LoadLockFile();
    }

    TempRoot root;
    std::string dat, lck;
};

// A child saves versions A and B of the tables in turn, as fast as it can,
// until it is killed at a random moment.
pid_t StartWriter(int readyFd)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that gave up
    for (unsigned i = 0;; ++i) {
        FillTables(static_cast<int>(i & 1));
        SaveIndexFile();
        SaveLockFile();
        if (i == 1 && write(readyFd, "r", 1) != 1)
            _exit(3);
    }
}

// Kills and reaps the writer when a check gives up on a round early.
struct WriterGuard {
    pid_t pid;
    ~WriterGuard()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, timeoutMs) == 1 && read(fd, &c, 1) == 1;
}

TEST_F(StateFilesCrashTest, WriterKilledAtRandomMomentsNeverLeavesATornFile)
{
    LoadBoth();
    const Bytes indexA = IndexBytes(0), indexB = IndexBytes(1);
    const Bytes locksA = LockBytes(0), locksB = LockBytes(1);
    std::mt19937 random(20240607);
    std::uniform_int_distribution<int> delayUs(0, 40000);
    int roundsWithLeftovers = 0;
    for (int round = 0; round < 50; ++round) {
        int ready[2];
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        pid_t pid = StartWriter(ready[1]);
        ASSERT_GT(pid, 0);
        WriterGuard guard{pid};
        close(ready[1]);
        ASSERT_TRUE(WaitReadable(ready[0], 20000)) << "round " << round;
        close(ready[0]);
        // A fixed-length pause is the point here: the kill must land anywhere.
        usleep(static_cast<useconds_t>(delayUs(random)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        guard.pid = -1;
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ended by itself: " << status;

        Bytes index = ReadBinaryFile(dat), locks = ReadBinaryFile(lck);
        ASSERT_EQ(index.size(), 16384u) << "round " << round;
        ASSERT_TRUE(index == indexA || index == indexB) << "round " << round;
        ASSERT_EQ(locks.size(), 4096u) << "round " << round;
        ASSERT_TRUE(locks == locksA || locks == locksB) << "round " << round;
        if (!TempFiles(root.dir).empty())
            ++roundsWithLeftovers;

        // The next run starts: it loads one of the versions whole and
        // clears what the killed writer left behind.
        FillTables(index == indexA ? 0 : 1);
        std::vector<int32_t> tallies(Routing.TallyTable, Routing.TallyTable + kTableSize);
        RoutingReset();
        LoadBoth();
        for (int d = 1; d <= kMaxDest; ++d)
            ASSERT_EQ(Routing.TallyTable[d], tallies[d]) << d;
        EXPECT_EQ(TempFiles(root.dir), std::vector<std::string>{}) << "round " << round;
    }
    // How often the kill fell between creating and renaming a temporary file.
    RecordProperty("rounds_with_leftover_temporary_files", roundsWithLeftovers);
    std::printf("kills that left a temporary file behind: %d of 50\n", roundsWithLeftovers);
}

TEST_F(StateFilesCrashTest, LoadingRemovesOnlyUnheldLeftoversOfThisId)
{
    LoadBoth();
    std::string stale = dat + ".tmpAbC123", held = dat + ".tmpZyX987";
    std::string staleLock = lck + ".tmpQwE456";
    std::vector<std::string> others = {root.File("DEV_008.DAT.tmpAbC123"), dat + ".tmp",
                                       dat + ".tmpAbC1234", dat + ".bak", root.File("DEV_007.INI.tmpAbC123")};
    for (const auto &f : others)
        WriteTextFile(f, "x");
    WriteTextFile(stale, std::string(100, 'a'));
    WriteTextFile(staleLock, std::string(100, 'a'));
    WriteTextFile(held, std::string(100, 'b'));
    int fd = open(held.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);  // a save in progress in another process

    LoadBoth();
    EXPECT_FALSE(FileExists(stale));
    EXPECT_FALSE(FileExists(staleLock));
    EXPECT_TRUE(FileExists(held)) << "a live writer's file is left alone";
    for (const auto &f : others)
        EXPECT_TRUE(FileExists(f)) << f;
    EXPECT_EQ(ReadBinaryFile(dat).size(), 16384u);

    close(fd);
    LoadIndexFile();
    EXPECT_FALSE(FileExists(held));
}

// Runs the saves as another user, for whom the directory really is
// read-only (root writes through any mode).  Reports on the pipe: one line
// per debug line, then "same" or "changed" for the tables.
void SaveAsNobody(int out)
{
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        _exit(2);
    FillTables(1);
    std::vector<int32_t> before(Routing.TallyTable, Routing.TallyTable + kMaxDest + 1);
    std::vector<int32_t> locksBefore(Routing.LockTable, Routing.LockTable + kMaxDest + 1);
    SaveIndexFile();
    SaveLockFile();
    PeriodicSaveTick();
    std::string report;
    for (const auto &line : DebugLines)
        report += line + "\n";
    bool same = std::equal(before.begin(), before.end(), Routing.TallyTable) &&
                std::equal(locksBefore.begin(), locksBefore.end(), Routing.LockTable);
    report += same ? "same\n" : "changed\n";
    _exit(write(out, report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 3);
}

TEST_F(StateFilesCrashTest, ReadOnlyConfigurationDirectoryKeepsTheOldFiles)
{
    FillTables(0);
    LoadBoth();  // creates both files
    FillTables(0);
    SaveIndexFile();
    SaveLockFile();
    const Bytes index = ReadBinaryFile(dat), locks = ReadBinaryFile(lck);
    ASSERT_EQ(index, IndexBytes(0));
    ASSERT_EQ(chmod(root.dir.c_str(), 0555), 0);
    Profile.SaveDelay = 1;
    DebugLines.clear();

    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        SaveAsNobody(pipeFds[1]);
    close(pipeFds[1]);
    std::string report;
    ReadAvailable(pipeFds[0], &report, 20000);
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "cannot run as user 65534 here";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_NE(report.find("Couldn't write index file - '" + dat + "'\n"), std::string::npos) << report;
    EXPECT_NE(report.find("Couldn't write lock file - '" + lck + "'\n"), std::string::npos) << report;
    EXPECT_EQ(CountOccurrences(report, "Couldn't write index file"), 2u) << "the periodic save tried too";
    EXPECT_NE(report.find("same\n"), std::string::npos) << report;
    EXPECT_EQ(ReadBinaryFile(dat), index);
    EXPECT_EQ(ReadBinaryFile(lck), locks);
    EXPECT_EQ(TempFiles(root.dir), std::vector<std::string>{});

    // Writable again: the next save goes through.
    ASSERT_EQ(chmod(root.dir.c_str(), 0700), 0);
    FillTables(1);
    SaveIndexFile();
    EXPECT_EQ(ReadBinaryFile(dat), IndexBytes(1));
}

}  // namespace
