// Profile files: lookups, defaults, truncation, write-back, hostile input,
// and a writer that keeps lines, links, modes and unreadable files intact.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "tests/support/support.h"

namespace {

std::string Get(const char *sec, const char *key, const char *def, const std::string &path,
                size_t size = 256)
{
    std::string buf(size, '\0');
    size_t n = GetPrivateProfileString(sec, key, def, buf.data(), size, path.c_str());
    EXPECT_EQ(n, std::strlen(buf.c_str()));
    return std::string(buf.c_str());
}

size_t TempFiles(const std::string &dir)
{
    size_t n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            n += std::string(e->d_name).find(".tmp") != std::string::npos;
        closedir(d);
    }
    return n;
}

}  // namespace

TEST(ProfileFiles, CaseInsensitiveNamesTrimmedValues)
{
    TempRoot root;
    std::string path = root.File("DEV_007.INI");
    WriteTextFile(path, "; comment\r\n[wex]\r\n  DebugMode =  1  \r\n[Database]\nDatabaseSize_0=16\n");
    EXPECT_EQ(Get("WEX", "debugmode", "-1", path), "1");
    EXPECT_EQ(Get("DATABASE", "DATABASESIZE_0", "-1", path), "16");
    EXPECT_EQ(Get("WEX", "Absent", "-1", path), "-1");
    EXPECT_EQ(Get("Nope", "DebugMode", "NONE", path), "NONE");
    // An editor's UTF-8 byte order mark does not hide the first section.
    WriteTextFile(path, "\xEF\xBB\xBF[WEX]\nDriverMode=EXTERNAL\n");
    EXPECT_EQ(Get("WEX", "DriverMode", "-1", path), "EXTERNAL");
    // Lines that end in a carriage return alone are lines too.
    WriteTextFile(path, "[WEX]\rDriverMode=EXTERNAL\r[Database]\rDatabaseSize_0=16\r");
    EXPECT_EQ(Get("WEX", "DriverMode", "-1", path), "EXTERNAL");
    EXPECT_EQ(Get("Database", "DatabaseSize_0", "-1", path), "16");
}

TEST(ProfileFiles, BufferSizeTruncates)
{
    TempRoot root;
    std::string path = root.File("a.ini");
    WriteTextFile(path, "[S]\nName=ABCDEFGHIJ\n");
    EXPECT_EQ(Get("S", "Name", "", path, 9), "ABCDEFGH");
    EXPECT_EQ(Get("S", "Name", "0123456789", path + ".missing", 4), "012");
}

TEST(ProfileFiles, WriteKeepsCommentsAndOtherKeys)
{
    TempRoot root;
    std::string path = root.File("b.ini");
    WriteTextFile(path, "; top comment\n[WEX]\nA=1\n; inner\nB=2\n\n[Com_1]\nPort=1\n");
    ASSERT_TRUE(WritePrivateProfileString("wex", "b", "5", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileString("WEX", "C", "7", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileString("Com_2", "Port", "2", path.c_str()));
    std::string text = ReadTextFile(path);
    EXPECT_NE(text.find("; top comment"), std::string::npos);
    EXPECT_NE(text.find("; inner"), std::string::npos);
    EXPECT_NE(text.find("A=1"), std::string::npos);
    EXPECT_EQ(text.find("B=2"), std::string::npos);
    EXPECT_EQ(Get("WEX", "B", "", path), "5");
    EXPECT_EQ(Get("WEX", "C", "", path), "7");
    EXPECT_EQ(Get("Com_1", "Port", "", path), "1");
    EXPECT_EQ(Get("Com_2", "Port", "", path), "2");
    // The new key lands inside [WEX], before [Com_1].
    EXPECT_LT(text.find("C=7"), text.find("[Com_1]"));
}

TEST(ProfileFiles, WriteCreatesFileAndMissingDirectoryReadsEmpty)
{
    TempRoot root;
    std::string path = root.File("new.ini");
    ASSERT_TRUE(WritePrivateProfileString("Config", "ConfigPath", "/x", path.c_str()));
    EXPECT_EQ(Get("Config", "ConfigPath", "NONE", path), "/x");
    std::string gone = root.File("no/such/dir/c.ini");
    EXPECT_EQ(Get("Config", "ConfigPath", "NONE", gone), "NONE");
    EXPECT_FALSE(WritePrivateProfileString("Config", "ConfigPath", "/x", gone.c_str()));
}

TEST(ProfileFiles, HostileContentReadsWithoutOverrun)
{
    TempRoot root;
    std::string path = root.File("bad.ini");
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(static_cast<char>((i * 131) & 0xFF));
    std::string big(10 * 1024, 'v');
    WriteTextFile(path, "[WEX\nNoEquals\n" + garbage + "\n[WEX]\nNoEqualsHere\nBig=" + big +
                            "\nKey=ok\n");
    EXPECT_EQ(Get("WEX", "Key", "-1", path), "ok");
    std::string v = Get("WEX", "Big", "-1", path, 80);
    EXPECT_EQ(v.size(), 79u);
    EXPECT_EQ(Get("WEX", "NoEquals", "-1", path), "-1");
}

namespace {

struct stat Stat(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

std::vector<std::string> Notices;
void RecordNotice(const char *text) { Notices.emplace_back(text); }

// Notices recorded, each test from a clean slate.
struct NoticeCapture {
    NoticeCapture()
    {
        Notices.clear();
        FileNoticesReset();
        SetFileNoticeSink(RecordNotice);
    }
    ~NoticeCapture() { SetFileNoticeSink(nullptr); }
};

}  // namespace

// Lines that were there stay byte for byte; new lines take the file's own
// line ending; a last line without one gets one when a line follows it.
TEST(ProfileWriter, KeepsLinesAndTheFilesLineEnding)
{
    const struct {
        const char *before, *section, *key, *after;
    } cases[] = {
        {"[WEX]\nA = 1 \n; note\r\n", "WEX", "B", "[WEX]\nA = 1 \n; note\r\nB=2\n"},
        {"[WEX]\r\nA=1\r\n", "WEX", "B", "[WEX]\r\nA=1\r\nB=2\r\n"},
        {"[WEX]\r\nA=1\r\n", "Com_1", "Port", "[WEX]\r\nA=1\r\n[Com_1]\r\nPort=2\r\n"},
        {"[WEX]\nA=1", "WEX", "B", "[WEX]\nA=1\nB=2\n"},
        {"[WEX]\nA=1\n[Com_1]\r\nB=7\r\n", "Com_1", "B", "[WEX]\nA=1\n[Com_1]\r\nB=2\r\n"},
        {"", "WEX", "B", "[WEX]\nB=2\n"},
        {"\xEF\xBB\xBF[WEX]\nA=1\n", "WEX", "B", "\xEF\xBB\xBF[WEX]\nA=1\nB=2\n"},
        {"\xEF\xBB\xBF[WEX]\nB=1\n", "WEX", "B", "\xEF\xBB\xBF[WEX]\nB=2\n"},
        {"[WEX]\rA=1\rB=1\r", "WEX", "B", "[WEX]\rA=1\rB=2\r"},
        {"[WEX]\rA=1\r", "WEX", "B", "[WEX]\rA=1\rB=2\r"},
        // A section named twice: the line that is read is the line written.
        {"[WEX]\nA=1\n[Com_1]\nB=7\n[wex]\nB=0\n", "WEX", "B",
         "[WEX]\nA=1\n[Com_1]\nB=7\n[wex]\nB=2\n"},
    };
    for (const auto &c : cases) {
        TempRoot root;
        std::string path = root.File("DEV_007.INI");
        if (*c.before)
            WriteTextFile(path, c.before);
        ASSERT_TRUE(WritePrivateProfileString(c.section, c.key, "2", path.c_str())) << c.before;
        EXPECT_EQ(ReadTextFile(path), c.after) << c.before;
    }
}

// LeitchLevels is written on every start: a key that already holds the
// value leaves the file as it is (same inode, not rewritten).
TEST(ProfileWriter, SameValueLeavesTheFileAlone)
{
    TempRoot root;
    std::string path = root.File("DEV_007.INI");
    WriteTextFile(path, "[WEX]\nleitchlevels =  OBSOLETE\n");
    ino_t inode = Stat(path).st_ino;
    EXPECT_TRUE(WritePrivateProfileString("WEX", "LeitchLevels", "OBSOLETE", path.c_str()));
    EXPECT_EQ(Stat(path).st_ino, inode);
    EXPECT_EQ(ReadTextFile(path), "[WEX]\nleitchlevels =  OBSOLETE\n");
}

// A read-only profile is read as it is and keeps its gaps, even for root.
TEST(ProfileWriter, ReadOnlyFileIsLeftAlone)
{
    TempRoot root;
    std::string path = root.File("DEV_007.INI");
    WriteTextFile(path, "[WEX]\nA=1\n");
    chmod(path.c_str(), 0444);
    EXPECT_FALSE(WritePrivateProfileString("WEX", "TallyDelay", "2000", path.c_str()));
    EXPECT_EQ(ReadTextFile(path), "[WEX]\nA=1\n");
    EXPECT_EQ(FileMode(path), 0444u);
    EXPECT_EQ(Get("WEX", "A", "-1", path), "1");
}

// A write goes to the link's target, which keeps its mode and owner; the
// link stays a link.
TEST(ProfileWriter, WritesThroughALinkKeepingModeAndOwner)
{
    TempRoot root;
    mkdir(root.File("shared").c_str(), 0755);
    std::string target = root.File("shared/site.ini"), link = root.File("DEV_007.INI");
    WriteTextFile(target, "[WEX]\nA=1\n");
    chmod(target.c_str(), 0640);
    bool asRoot = geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(chown(target.c_str(), 1234, 2345), 0);
    }
    ASSERT_EQ(symlink("shared/site.ini", link.c_str()), 0);
    ASSERT_TRUE(WritePrivateProfileString("WEX", "B", "2", link.c_str()));
    EXPECT_TRUE(S_ISLNK(Stat(link).st_mode));
    EXPECT_EQ(ReadTextFile(target), "[WEX]\nA=1\nB=2\n");
    EXPECT_EQ(FileMode(target), 0640u);
    if (asRoot) {
        EXPECT_EQ(Stat(target).st_uid, 1234u);
        EXPECT_EQ(Stat(target).st_gid, 2345u);
    }
    EXPECT_EQ(TempFiles(root.File("shared")), 0u);
}

// A profile that exists but cannot be read is not an empty one: the reader
// says so and the writer leaves it alone.
TEST(ProfileWriter, UnreadableFileIsNeverWrittenBack)
{
    TempRoot root;
    std::string path = root.File("DEV_007.INI");
    WriteTextFile(path, "[Security]\nAccess=5\n");
    chmod(path.c_str(), 0600);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 1234, 1234), 0);
    }
    int rc = RunWithoutFileRights([&] {
        NoticeCapture capture;
        char buf[16];
        int state = 0;
        ReadProfileString("Security", "Access", "ALL", buf, sizeof buf, path.c_str(), &state);
        if (state != EACCES || ProfileFileState(path.c_str()) != EACCES)
            return 1;
        if (WritePrivateProfileString("Security", "Access", "ALL", path.c_str()))
            return 2;
        WritePrivateProfileString("WEX", "Name", "Default", path.c_str());
        if (Notices.size() != 1 || Notices[0].find("cannot be read: Permission denied") == std::string::npos)
            return 3;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadTextFile(path), "[Security]\nAccess=5\n");
}

// A profile over the reader's limit is read in part and never written
// back cut short; that is said once.
TEST(ProfileWriter, FileOverTheLimitIsNotWrittenBack)
{
    TempRoot root;
    NoticeCapture capture;
    std::string path = root.File("DEV_007.INI");
    std::string text = "[WEX]\nA=1\n; " + std::string(kMaxProfileBytes, 'x') + "\nZ=9\n";
    WriteTextFile(path, text);
    EXPECT_EQ(ProfileFileState(path.c_str()), EFBIG);
    EXPECT_EQ(Get("WEX", "A", "-1", path), "1");
    EXPECT_FALSE(WritePrivateProfileString("WEX", "B", "2", path.c_str()));
    EXPECT_FALSE(WritePrivateProfileString("WEX", "C", "3", path.c_str()));
    EXPECT_EQ(ReadTextFile(path), text);
    ASSERT_EQ(Notices.size(), 1u);
    EXPECT_NE(Notices[0].find("read only in part"), std::string::npos);
}

// Only regular files are read: a FIFO or a directory in a profile's place
// neither hangs the reader nor reads as empty.
TEST(ProfileWriter, OnlyRegularFilesAreRead)
{
    TempRoot root;
    std::string fifo = root.File("fifo.ini"), dir = root.File("dir.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    for (const std::string &p : {fifo, dir}) {
        EXPECT_EQ(ProfileFileState(p.c_str()), kNotRegularFile) << p;
        EXPECT_FALSE(WritePrivateProfileString("WEX", "A", "1", p.c_str())) << p;
    }
    EXPECT_STREQ(FileErrorText(kNotRegularFile), "not a regular file");
}

// A directory that others may write is warned about once.
TEST(ProfileWriter, DirectoryWritableByOthersIsWarnedOnce)
{
    TempRoot root;
    NoticeCapture capture;
    std::string path = root.File("DEV_007.INI");
    WriteTextFile(path, "[WEX]\nA=1\n");
    Get("WEX", "A", "-1", path);
    EXPECT_TRUE(Notices.empty());
    chmod(root.dir.c_str(), 0775);
    Get("WEX", "A", "-1", path);
    Get("WEX", "B", "-1", path);
    ASSERT_EQ(Notices.size(), 1u);
    EXPECT_EQ(Notices[0], "Directory '" + root.dir + "' is writable by group or others");
}
