// System paths, the workstation number and the workstation access list.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/paths.h"
#include "config/profile.h"
#include "link/commands.h"
#include "platform/profile.h"
#include "platform/root.h"
#include "platform/debug.h"
#include "shell/shell.h"
#include "tests/support/support.h"

namespace {

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetRootDirectory(root.dir.c_str());
        ShellReset();
        ProfileReset();
        CommandsReset();
        Shell.DriverId = 7;
        paths = root.File("zolt_config.ini");
    }
    std::string Value(const std::string &file, const char *section, const char *key)
    {
        char buf[600];
        GetPrivateProfileString(section, key, "<absent>", buf, sizeof buf, file.c_str());
        return buf;
    }
    std::string ConfigPath(size_t size = 80)
    {
        std::vector<char> buf(size, 'x');
        ReadConfigPath(buf.data(), size);
        return std::string(buf.data(), strnlen(buf.data(), size));
    }

    TempRoot root;
    std::string paths;
};

TEST_F(PathsTest, MissingPathsFileGetsTheWindowsDirectory)
{
    EXPECT_EQ(ConfigPath(), root.dir);
    char system[255];
    ReadSystemPath(system, sizeof system);
    EXPECT_EQ(std::string(system), root.dir);
    EXPECT_EQ(Value(paths, "Config", "ConfigPath"), root.dir);
    EXPECT_EQ(Value(paths, "Config", "SystemPath"), root.dir);
    EXPECT_EQ(Value(paths, "Config", "TempPath"), "<absent>") << "added only when asked for";

    char temp[80];
    ReadTempPath(temp, sizeof temp);
    EXPECT_EQ(std::string(temp), root.dir + "/vek_temp");
    EXPECT_EQ(Value(paths, "Config", "TempPath"), root.dir + "/vek_temp");
}

TEST_F(PathsTest, OnlyExactNoneIsReplaced)
{
    WriteTextFile(paths, "[Config]\nConfigPath=none\n");
    EXPECT_EQ(ConfigPath(), "none");
    EXPECT_EQ(Value(paths, "Config", "ConfigPath"), "none");

    WriteTextFile(paths, "[Config]\nConfigPath=NONE\n");
    EXPECT_EQ(ConfigPath(), root.dir);
    EXPECT_EQ(Value(paths, "Config", "ConfigPath"), root.dir);
}

TEST_F(PathsTest, EmptyConfigPathNamesTheFileSystemRoot)
{
    WriteTextFile(paths, "[Config]\nConfigPath=\n");
    EXPECT_EQ(ConfigPath(), "");
    EXPECT_EQ(DeviceProfilePath(), "/DEV_007.INI");
}

TEST_F(PathsTest, PathIsZeroPaddedAndAlwaysTerminated)
{
    WriteTextFile(paths, "[Config]\nConfigPath=/srv/zolt\n");
    std::vector<char> buf(80, 'x');
    ReadConfigPath(buf.data(), buf.size());
    EXPECT_STREQ(buf.data(), "/srv/zolt");
    for (size_t i = std::strlen("/srv/zolt"); i < buf.size(); ++i)
        ASSERT_EQ(buf[i], 0) << i;

    // A path that does not fit is cut, never left unterminated, and the
    // profile path built on it is refused.
    std::string longPath = "/" + std::string(120, 'p');
    WriteTextFile(paths, "[Config]\nConfigPath=" + longPath + "\n");
    EXPECT_EQ(ConfigPath(), longPath.substr(0, 79));
    EXPECT_EQ(DeviceProfilePath(), "");
}

TEST_F(PathsTest, PathsFileIsReadOnEveryCall)
{
    WriteTextFile(paths, "[Config]\nConfigPath=/a\n");
    EXPECT_EQ(ConfigPath(), "/a");
    WriteTextFile(paths, "[Config]\nConfigPath=/b\n");
    EXPECT_EQ(ConfigPath(), "/b");
}

TEST_F(PathsTest, WorkStationNumber)
{
    std::string kaldera = root.File("KALDERA.INI");
    EXPECT_EQ(ReadWorkStation(), -1);
    EXPECT_EQ(Value(kaldera, "System", "WorkStation"), "-1");

    WriteTextFile(kaldera, "[System]\nWorkStation=abc\n");
    EXPECT_EQ(ReadWorkStation(), 0);
    EXPECT_EQ(ReadTextFile(kaldera), "[System]\nWorkStation=abc\n") << "nothing written back";

    WriteTextFile(kaldera, "[system]\nworkstation= 42 \n");
    EXPECT_EQ(ReadWorkStation(), 42);
}

// A paths file or KALDERA.INI that exists but cannot be read is not a
// missing one: no default is written over it, ConfigPath is not made up,
// the workstation number stays unknown and the event line says why.
TEST_F(PathsTest, UnreadableSettingsFilesAreNotWrittenBack)
{
    std::string kaldera = root.File("KALDERA.INI");
    WriteTextFile(paths, "[Config]\nSystemPath=/opt/zolt\n");
    WriteTextFile(kaldera, "[Other]\nX=1\n");
    for (const std::string &f : {paths, kaldera}) {
        chmod(f.c_str(), 0600);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(f.c_str(), 1234, 1234), 0);
        }
    }
    int rc = RunWithoutFileRights([&] {
        std::vector<std::string> events;
        static std::vector<std::string> *sink;
        sink = &events;
        SetDebugSink([](const char *line) { sink->emplace_back(line); });
        char dir[80] = "x";
        if (ReadConfigPath(dir, sizeof dir) || dir[0] != 0)
            return 1;
        if (ReadWorkStation() != -1)
            return 2;
        if (events.size() != 1 ||
            events[0].find("Couldn't read '" + kaldera + "': Permission denied") == std::string::npos)
            return 3;
        return DeviceProfilePath().empty() ? 0 : 4;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadTextFile(paths), "[Config]\nSystemPath=/opt/zolt\n");
    EXPECT_EQ(ReadTextFile(kaldera), "[Other]\nX=1\n");
}

class AccessTest : public PathsTest {
protected:
    void SetUp() override
    {
        PathsTest::SetUp();
        ini = root.File("DEV_007.INI");
    }
    // The entries that are set, in ascending order.
    std::vector<int> Allowed()
    {
        std::vector<int> on;
        for (int w = 0; w < kWorkstations; ++w)
            if (Commands.WorkstationAccess[w])
                on.push_back(w);
        return on;
    }
    // The list items go through AllowWorkstation, which belongs to the
    // command interpreter; without it there is nothing to observe.
    bool InterpreterAllows()
    {
        CommandsReset();
        AllowWorkstation(5);
        bool works = Commands.WorkstationAccess[5] == 1;
        CommandsReset();
        return works;
    }
    std::string ini;
};

TEST_F(AccessTest, AllAllowsEveryWorkstation)
{
    const struct {
        const char *file;
        const char *after;  // the Access value in the file afterwards
    } cases[] = {
        {"", "ALL"},  // absent: added to the file
        {"[Security]\nAccess=ALL\n", "ALL"},
        {"[Security]\nAccess=all\n", "all"},
        {"[Security]\nAccess=WALLS\n", "WALLS"},
        {"[Security]\nAccess=3,all\n", "3,all"},
    };
    for (const auto &c : cases) {
        CommandsReset();
        WriteTextFile(ini, c.file);
        LoadWorkstationAccess();
        EXPECT_EQ(Allowed().size(), static_cast<size_t>(kWorkstations)) << c.file;
        EXPECT_EQ(Value(ini, "Security", "Access"), c.after) << c.file;
    }
    EXPECT_EQ(ReadTextFile(ini), "[Security]\nAccess=3,all\n") << "lower case is not written back";
}

// A profile that cannot be read (at a refresh) keeps the list there was:
// the gate never falls open, and nothing is written into the profile.
TEST_F(AccessTest, UnreadableProfileKeepsTheList)
{
    WriteTextFile(ini, "[Security]\nAccess=8\n");
    ASSERT_TRUE(LoadWorkstationAccess());
    std::vector<int> before = Allowed();
    chmod(ini.c_str(), 0600);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(ini.c_str(), 1234, 1234), 0);
    }
    int rc = RunWithoutFileRights([&] {
        if (LoadWorkstationAccess())
            return 1;
        return Allowed() == before ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadTextFile(ini), "[Security]\nAccess=8\n");
}

TEST_F(AccessTest, ListsAndRanges)
{
    if (!InterpreterAllows())
        GTEST_SKIP() << "AllowWorkstation is not built yet";
    std::vector<int> list = {0, 1, 4};
    for (int w = 20; w <= 25; ++w)
        list.push_back(w);
    const struct {
        const char *value;
        std::vector<int> allowed;
    } cases[] = {
        {"1,4,20-25", list},
        {"25-20", {0}},
        {"3,,7", {0, 3, 7}},
        {",,3,7,", {0, 3, 7}},
        {"0,1000,999", {0, 999}},
        {"NONE", {0}},
        {"", {0}},
        {" 12,x5", {0, 12}},
        {"5-", {0}},
        {"-5", {0}},
        {"5 - 7", {0}},
        {"5-x", {0}},
        {"-3-2", {0, 1, 2}},
        {"998-2000000000", {0, 998, 999}},
        {"-2000000000--1999999999", {0}},
        {"99999999999999999999", {0}},
        // Numbers past 32 bits allow nothing; read wrapped they would be 1.
        {"4294967297", {0}},
        {"-4294967295,4", {0, 4}},
    };
    for (const auto &c : cases) {
        CommandsReset();
        WriteTextFile(ini, std::string("[Security]\nAccess=") + c.value + "\n");
        LoadWorkstationAccess();
        EXPECT_EQ(Allowed(), c.allowed) << "Access=" << c.value;
    }
}

TEST_F(AccessTest, RebuildClearsEarlierEntries)
{
    if (!InterpreterAllows())
        GTEST_SKIP() << "AllowWorkstation is not built yet";
    WriteTextFile(ini, "[Security]\nAccess=ALL\n");
    LoadWorkstationAccess();
    WriteTextFile(ini, "[Security]\nAccess=8\n");
    LoadWorkstationAccess();
    EXPECT_EQ(Allowed(), (std::vector<int>{0, 8}));
}

}  // namespace
