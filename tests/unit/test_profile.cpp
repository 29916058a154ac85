// The device profile loader: write-back of missing keys, keyword tests,
// value limits and the start-up refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "platform/dialog.h"
#include "platform/profile.h"
#include "platform/root.h"
#include "protocols/protocol.h"
#include "serial/ports.h"
#include "shell/shell.h"
#include "tests/support/support.h"

namespace {

void SilentBox(HWND, const char *, const char *) {}

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetRootDirectory(root.dir.c_str());
        ShellReset();
        ProfileReset();
        CommandsReset();
        LinkReset();
        PortsReset();
        ProtocolReset();
        UiModelReset();
        SetMessageBoxHook(SilentBox);
        Shell.DriverId = 7;
        ini = root.File("DEV_007.INI");
    }
    void TearDown() override { SetMessageBoxHook(nullptr); }

    // A profile holding the two sizes plus the given [WEX] and [Com_1] lines.
    void WriteProfile(const std::string &wex, const std::string &com1 = "")
    {
        WriteTextFile(ini, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n[WEX]\n" + wex +
                               "\n[Com_1]\n" + com1 + "\n");
    }
    std::string Value(const char *section, const char *key)
    {
        char buf[256];
        GetPrivateProfileString(section, key, "<absent>", buf, sizeof buf, ini.c_str());
        return buf;
    }

    TempRoot root;
    std::string ini;
};

TEST_F(ProfileTest, SizesOnlyProfileIsCompletedWithEveryKey)
{
    WriteTextFile(ini, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n");
    ASSERT_EQ(LoadDeviceProfile(), 1);
    EXPECT_TRUE(MessageBoxLog().empty());

    const struct {
        const char *key, *text;
    } wex[] = {
        {"Name", "Default"},          {"ParkSource", "0"},         {"FirstVirtual", "0"},
        {"SaveDelay", "10"},          {"FwdBuffDelay", "0"},       {"RevertiveDelay", "0"},
        {"DriverMode", "INTERNAL"},   {"InitTallyDelay", "200"},   {"TallyDelay", "2000"},
        {"RevertiveMode", "ROUTER"},  {"NetUpdateOnStart", "1"},   {"ReAssert", "1"},
        {"DebugMode", "0"},           {"SourceToDest", "1"},       {"DestToSource", "0"},
        {"NameLength", "8"},          {"Simulation", "0"},         {"HBXRCP_Levels", "1"},
        {"LeitchLevels", "OBSOLETE"}, {"LeitchLevel", "0"},        {"QuartzLevels", "VAB"},
        {"NetworkRouterType", "VIDEO"}, {"NetworkRouterLvl", "0"}, {"AdrienneAddress", "0"},
        {"SonyAddress", "1"},         {"SonyDelay", "25"},         {"PesaDelay", "100"},
        {"GoRxOnlyOnComFail", "-1"},  {"CommErrorLimit", "5"},
    };
    for (const auto &k : wex)
        EXPECT_EQ(Value("WEX", k.key), k.text) << k.key;
    for (int n = 1; n <= kMaxPorts; ++n) {
        std::string com = "Com_" + std::to_string(n);
        const char *s = com.c_str();
        EXPECT_EQ(Value(s, "Port"), std::to_string(n));
        EXPECT_EQ(Value(s, "MinDest"), "NONE");
        EXPECT_EQ(Value(s, "MaxDest"), "NONE");
        EXPECT_EQ(Value(s, "Protocol"), "NONE");
        EXPECT_EQ(Value(s, "Speed"), "0");
        EXPECT_EQ(Value(s, "DataBits"), "8");
        EXPECT_EQ(Value(s, "StopBits"), "1");
        EXPECT_EQ(Value(s, "Parity"), "N");
        EXPECT_EQ(Profile.Ports[n].Port, n);
        EXPECT_EQ(Profile.Ports[n].Speed, 0u) << "no port is used";
        EXPECT_EQ(Profile.Ports[n].Protocol, 0);
        EXPECT_EQ(Profile.Ports[n].Parity, 'n');
    }
    EXPECT_EQ(Value("Security", "Access"), "ALL");
    EXPECT_EQ(Value("Database", "DatabaseSize_0"), "16");

    // The run that writes the defaults uses them.
    EXPECT_EQ(Profile.DatabaseSize_0, 16);
    EXPECT_EQ(Profile.DatabaseSize_1, 32);
    EXPECT_STREQ(Profile.Name, "-1");
    EXPECT_EQ(Profile.SaveDelay, 10);
    EXPECT_EQ(Profile.DriverMode, kDriverInternal);
    EXPECT_EQ(Profile.RevertiveMode, kRevertiveRouter);
    EXPECT_EQ(Profile.TallyDelay, 2000);
    EXPECT_EQ(Profile.Simulation, 0);
    EXPECT_EQ(Profile.LeitchLevel, 0);
    EXPECT_STREQ(Profile.QuartzLevels, "VAB");
    EXPECT_EQ(Profile.NetworkRouterType, 0xA0);
    EXPECT_EQ(Profile.SonyAddress, 1);
    EXPECT_EQ(Profile.GoRxOnlyOnComFail, -1);
    EXPECT_EQ(Profile.CommErrorLimit, 5);
    EXPECT_EQ(Link.WorkStation, -1);
    EXPECT_EQ(Commands.WorkstationAccess[0], 1);
    EXPECT_EQ(Commands.WorkstationAccess[1000], 1);

    // A second run finds every key and writes nothing more.
    std::string before = ReadTextFile(ini);
    ProfileReset();
    ASSERT_EQ(LoadDeviceProfile(), 1);
    EXPECT_EQ(ReadTextFile(ini), before);
    EXPECT_STREQ(Profile.Name, "Default");
    EXPECT_EQ(Profile.Ports[3].MinDest, 0) << "NONE stays unset";
}

TEST_F(ProfileTest, MissingFileShowsBothSizeMessagesSourcesFirst)
{
    EXPECT_EQ(LoadDeviceProfile(), 0);
    const std::vector<std::string> expected = {
        "A device profile INI File 'DEV_007.INI' does not exist in the Windows directory or the "
        "'DatabaseSize_0' parameter (sources) in it has not been set.",
        "A device profile INI File 'DEV_007.INI' does not exist in the Windows directory or the "
        "'DatabaseSize_1' parameter (destinations) in it has not been set.",
    };
    EXPECT_EQ(MessageBoxLog(), expected);
    // Reading went on: everything but the sizes is now in the file.
    EXPECT_EQ(Value("WEX", "CommErrorLimit"), "5");
    EXPECT_EQ(Value("Com_8", "Parity"), "N");
    EXPECT_EQ(Value("Security", "Access"), "ALL");
    EXPECT_EQ(Value("Database", "DatabaseSize_0"), "<absent>");
    EXPECT_EQ(Value("Database", "DatabaseSize_1"), "<absent>");
}

TEST_F(ProfileTest, OneMissingSizeShowsOnlyItsMessage)
{
    WriteTextFile(ini, "[Database]\nDatabaseSize_0=16\n");
    EXPECT_EQ(LoadDeviceProfile(), 0);
    ASSERT_EQ(MessageBoxLog().size(), 1u);
    EXPECT_NE(MessageBoxLog()[0].find("'DatabaseSize_1' parameter (destinations)"),
              std::string::npos);
}

TEST_F(ProfileTest, EmptySourceCountGivesZeroSourcesWithoutMessage)
{
    WriteTextFile(ini, "[Database]\nDatabaseSize_0=\nDatabaseSize_1=32\n");
    EXPECT_EQ(LoadDeviceProfile(), 1);
    EXPECT_TRUE(MessageBoxLog().empty());
    EXPECT_EQ(Profile.DatabaseSize_0, 0);
    EXPECT_EQ(Value("Database", "DatabaseSize_0"), "");
}

TEST_F(ProfileTest, MoreThan4096DestinationsIsRefused)
{
    WriteTextFile(ini, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=4097\n");
    EXPECT_EQ(LoadDeviceProfile(), 0);
    ASSERT_EQ(MessageBoxLog().size(), 1u);
    EXPECT_NE(MessageBoxLog()[0].find("4097"), std::string::npos);

    ProfileReset();
    UiModelReset();
    WriteTextFile(ini, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=4096\n");
    EXPECT_EQ(LoadDeviceProfile(), 1);
    EXPECT_TRUE(MessageBoxLog().empty());
}

TEST_F(ProfileTest, ProfilePathOver79CharactersIsRefused)
{
    std::string dir = root.dir + "/" + std::string(79 - 12 - 1 - root.dir.size(), 'd');
    WriteTextFile(root.File("zolt_config.ini"), "[Config]\nConfigPath=" + dir + "\n");
    EXPECT_EQ(DeviceProfilePath(), dir + "/DEV_007.INI") << "79 characters still fit";

    dir += "x";
    WriteTextFile(root.File("zolt_config.ini"), "[Config]\nConfigPath=" + dir + "\n");
    EXPECT_EQ(DeviceProfilePath(), "");
    EXPECT_EQ(LoadDeviceProfile(), 0);
    ASSERT_EQ(MessageBoxLog().size(), 1u);
    EXPECT_NE(MessageBoxLog()[0].find("longer than 79 characters"), std::string::npos);
}

struct ProtocolCase {
    const char *value;
    int code;
    const char *fileAfter;
};

TEST_F(ProfileTest, ProtocolKeywordsLastMatchWins)
{
    const ProtocolCase cases[] = {
        {"ntpeq", 6, "ntpeq"},        {"NTP", 1, "NTP"},
        {"HBXRCP/2", 1, "HBXRCP/2"},  {"NO", 0, "NONE"},
        {"XYZ", 0, "XYZ"},            {"NONE", 0, "NONE"},
        {"Probel", 2, "Probel"},      {"btsesswitch", 11, "btsesswitch"},
        {"VARDAGPI", 8, "VARDAGPI"},  {"sony", 16, "sony"},
        // only the first 14 characters are read
        {"0123456789ABCSONY", 0, "0123456789ABCSONY"},
        {"0123456789PESA", 15, "0123456789PESA"},
    };
    for (const auto &c : cases) {
        ProfileReset();
        WriteProfile("", std::string("Protocol=") + c.value);
        LoadDeviceProfile();
        EXPECT_EQ(Profile.Ports[1].Protocol, c.code) << c.value;
        EXPECT_EQ(Value("Com_1", "Protocol"), c.fileAfter) << c.value;
    }
}

struct ModeCase {
    const char *key;
    const char *value;
    int32_t DeviceProfile::*field;
    int32_t expected;
    const char *fileAfter;
};

TEST_F(ProfileTest, ModeKeywordsAreSubstringsOfTheUpperCasedValue)
{
    const ModeCase cases[] = {
        {"DriverMode", "external", &DeviceProfile::DriverMode, 1, "external"},
        {"DriverMode", "Internal", &DeviceProfile::DriverMode, 0, "Internal"},
        {"DriverMode", "AUTO", &DeviceProfile::DriverMode, 0, "INTERNAL"},
        {"DriverMode", "INT/EXTERNAL", &DeviceProfile::DriverMode, 1, "INT/EXTERNAL"},
        // only the first 15 characters are read: "INTERNAL+EXTERN"
        {"DriverMode", "INTERNAL+EXTERNAL", &DeviceProfile::DriverMode, 0, "INTERNAL+EXTERNAL"},
        {"RevertiveMode", "ROUTER-DRIVER", &DeviceProfile::RevertiveMode, 2, "ROUTER-DRIVER"},
        {"RevertiveMode", "router", &DeviceProfile::RevertiveMode, 1, "router"},
        {"RevertiveMode", "none", &DeviceProfile::RevertiveMode, 1, "ROUTER"},
    };
    for (const auto &c : cases) {
        ProfileReset();
        WriteProfile(std::string(c.key) + "=" + c.value);
        LoadDeviceProfile();
        EXPECT_EQ(Profile.*c.field, c.expected) << c.key << "=" << c.value;
        EXPECT_EQ(Value("WEX", c.key), c.fileAfter) << c.key << "=" << c.value;
    }
}

struct NumberCase {
    const char *line;
    int32_t DeviceProfile::*field;
    int32_t expected;
    const char *key;
    const char *fileAfter;
};

TEST_F(ProfileTest, NumbersAreCheckedAndRepairedInTheFile)
{
    const NumberCase cases[] = {
        {"SaveDelay=0", &DeviceProfile::SaveDelay, 10, "SaveDelay", "10"},
        {"SaveDelay=3", &DeviceProfile::SaveDelay, 3, "SaveDelay", "3"},
        {"GoRxOnlyOnComFail=0", &DeviceProfile::GoRxOnlyOnComFail, 0, "GoRxOnlyOnComFail", "0"},
        {"GoRxOnlyOnComFail=-5", &DeviceProfile::GoRxOnlyOnComFail, -1, "GoRxOnlyOnComFail", "-1"},
        {"GoRxOnlyOnComFail=99", &DeviceProfile::GoRxOnlyOnComFail, 99, "GoRxOnlyOnComFail", "99"},
        {"NetworkRouterLvl=20", &DeviceProfile::NetworkRouterLvl, 0, "NetworkRouterLvl", "0"},
        {"NetworkRouterLvl=15", &DeviceProfile::NetworkRouterLvl, 15, "NetworkRouterLvl", "15"},
        {"CommErrorLimit=-3", &DeviceProfile::CommErrorLimit, 5, "CommErrorLimit", "5"},
        {"SonyAddress=129", &DeviceProfile::SonyAddress, 1, "SonyAddress", "1"},
        {"SonyDelay=1001", &DeviceProfile::SonyDelay, 25, "SonyDelay", "25"},
        {"PesaDelay=-1", &DeviceProfile::PesaDelay, 100, "PesaDelay", "100"},
        // as a timer period it would hold every tally for 49 days
        {"RevertiveDelay=-5", &DeviceProfile::RevertiveDelay, 0, "RevertiveDelay", "-5"},
        {"RevertiveDelay=300", &DeviceProfile::RevertiveDelay, 300, "RevertiveDelay", "300"},
        {"TallyDelay=-50", &DeviceProfile::TallyDelay, 2000, "TallyDelay", "-50"},
        {"InitTallyDelay=-2", &DeviceProfile::InitTallyDelay, 200, "InitTallyDelay", "-2"},
        {"AdrienneAddress=123", &DeviceProfile::AdrienneAddress, 0, "AdrienneAddress", "0"},
        {"Simulation=1", &DeviceProfile::Simulation, 1, "Simulation", "1"},
        {"FirstVirtual=12 virtual", &DeviceProfile::FirstVirtual, 12, "FirstVirtual", "12 virtual"},
        {"ParkSource=  +7", &DeviceProfile::ParkSource, 7, "ParkSource", "+7"},
        // 8 characters count: the ninth digit is not read
        {"TallyDelay=123456789", &DeviceProfile::TallyDelay, 12345678, "TallyDelay", "123456789"},
        {"DebugMode=NONE", &DeviceProfile::DebugMode, 0, "DebugMode", "NONE"},
    };
    for (const auto &c : cases) {
        ProfileReset();
        WriteProfile(c.line);
        LoadDeviceProfile();
        EXPECT_EQ(Profile.*c.field, c.expected) << c.line;
        EXPECT_EQ(Value("WEX", c.key), c.fileAfter) << c.line;
    }
}

TEST_F(ProfileTest, AdrienneAddressGivesTwoDigits)
{
    WriteProfile("AdrienneAddress=7");
    LoadDeviceProfile();
    EXPECT_EQ(Profile.AdrienneAddressDigits[0], '0');
    EXPECT_EQ(Profile.AdrienneAddressDigits[1], '7');

    ProfileReset();
    WriteProfile("AdrienneAddress=42");
    LoadDeviceProfile();
    EXPECT_EQ(Profile.AdrienneAddressDigits[0], '4');
    EXPECT_EQ(Profile.AdrienneAddressDigits[1], '2');
}

TEST_F(ProfileTest, TextKeysAreExactAndBounded)
{
    WriteProfile("NetworkRouterType=audio\nQuartzLevels=ABCDEFGH\nName=ab");
    LoadDeviceProfile();
    EXPECT_EQ(Profile.NetworkRouterType, 0xA0) << "the comparison counts case";
    EXPECT_STREQ(Profile.QuartzLevels, "ABCDEFG") << "at most 7 letters";
    EXPECT_STREQ(Profile.Name, "ab") << "a short name is used as read in this run";
    EXPECT_EQ(Value("WEX", "Name"), "Default");
    EXPECT_EQ(Value("WEX", "QuartzLevels"), "ABCDEFGH");

    ProfileReset();
    WriteProfile("NetworkRouterType=AUDIO\nQuartzLevels=ab\nName=" + std::string(100, 'n'));
    LoadDeviceProfile();
    EXPECT_EQ(Profile.NetworkRouterType, 0x90);
    EXPECT_STREQ(Profile.QuartzLevels, "ab");
    EXPECT_EQ(std::strlen(Profile.Name), 79u);
}

TEST_F(ProfileTest, NetworkPortRaisesBothPollPeriodsForThisRunOnly)
{
    WriteTextFile(ini, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
                       "[WEX]\nInitTallyDelay=200\nTallyDelay=2000\n"
                       "[Com_3]\nProtocol=NETWORK\n");
    LoadDeviceProfile();
    EXPECT_EQ(Profile.Ports[3].Protocol, 12);
    EXPECT_EQ(Profile.InitTallyDelay, 10000);
    EXPECT_EQ(Profile.TallyDelay, 10000);
    EXPECT_EQ(Value("WEX", "InitTallyDelay"), "200");
    EXPECT_EQ(Value("WEX", "TallyDelay"), "2000");

    ProfileReset();
    WriteTextFile(ini, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
                       "[WEX]\nInitTallyDelay=200\nTallyDelay=20000\n"
                       "[Com_3]\nProtocol=NETWORK\n");
    LoadDeviceProfile();
    EXPECT_EQ(Profile.InitTallyDelay, 10000);
    EXPECT_EQ(Profile.TallyDelay, 20000) << "slower periods stay";
}

TEST_F(ProfileTest, PortSettings)
{
    WriteProfile("", "Port=3\nMinDest=1\nMaxDest=16\nProtocol=PROBEL\nSpeed=9600\n"
                     "DataBits=7\nStopBits=2\nParity=even");
    LoadDeviceProfile();
    const PortConfig &p = Profile.Ports[1];
    EXPECT_EQ(p.Port, 3);
    EXPECT_EQ(p.MinDest, 1);
    EXPECT_EQ(p.MaxDest, 16);
    EXPECT_EQ(p.Protocol, 2);
    EXPECT_EQ(p.Speed, 9600u);
    EXPECT_EQ(p.DataBits, 7);
    EXPECT_EQ(p.StopBits, 2);
    EXPECT_EQ(p.Parity, 'e');
    EXPECT_EQ(Value("Com_1", "Parity"), "even");

    ProfileReset();
    WriteProfile("", "Parity=X\nSpeed=\nPort=NONE");
    LoadDeviceProfile();
    EXPECT_EQ(Profile.Ports[1].Parity, 'n');
    EXPECT_EQ(Value("Com_1", "Parity"), "N");
    EXPECT_EQ(Profile.Ports[1].Speed, 0u);
    EXPECT_EQ(Value("Com_1", "Speed"), "0");
    EXPECT_EQ(Profile.Ports[1].Port, 1);
    EXPECT_EQ(Value("Com_1", "Port"), "1");
}

TEST_F(ProfileTest, PortRunTimeStateIsCleared)
{
    Ports.InUse[2] = 1;
    Ports.CommsFail[2] = 1;
    Ports.ErrorCount[2] = 9;
    Proto.NextPoll[2] = 17;
    Profile.Ports[2].MinDest = 5;
    WriteProfile("");
    LoadDeviceProfile();
    EXPECT_EQ(Ports.InUse[2], 0);
    EXPECT_EQ(Ports.CommsFail[2], 0);
    EXPECT_EQ(Ports.ErrorCount[2], 0u);
    EXPECT_EQ(Proto.NextPoll[2], 0);
    EXPECT_EQ(Profile.Ports[2].MinDest, 0);
}

TEST_F(ProfileTest, WorkstationNumberComesFromKaldera)
{
    WriteTextFile(root.File("KALDERA.INI"), "[System]\nWorkStation=12\n");
    WriteProfile("");
    LoadDeviceProfile();
    EXPECT_EQ(Link.WorkStation, 12);
}

}  // namespace
