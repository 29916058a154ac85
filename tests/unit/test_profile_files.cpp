// Profile files: lookups, defaults, truncation, write-back, hostile input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

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
