// Diagnostic lines and the field splitter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/profile.h"
#include "platform/daemon.h"
#include "platform/dialog.h"
#include "platform/debug.h"
#include "shell/shell.h"
#include "tests/support/support.h"

namespace {

std::vector<std::string> Lines;
void Capture(const char *line) { Lines.emplace_back(line); }

struct DebugTest : ::testing::Test {
    void SetUp() override
    {
        ProfileReset();
        ShellReset();
        Lines.clear();
        SetDebugSink(Capture);
    }
    void TearDown() override { SetDebugSink(nullptr); }
};

const std::string kRule = "<WE>-----------------------------------------------------------\n";

}  // namespace

TEST_F(DebugTest, DebugPrintIsSilentWithDebugOff)
{
    DebugPrint("hello");
    uint8_t bytes[20] = {};
    HexDump(bytes, sizeof bytes);
    EXPECT_TRUE(Lines.empty());
}

TEST_F(DebugTest, DebugPrintFormatsLine)
{
    Profile.DebugMode = 1;
    DebugPrint("Trying to attach to VEK");
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0], "<WE>-Trying to attach to VEK\n");
}

TEST_F(DebugTest, OverlongDebugLineIsTruncatedNotOverrun)
{
    Profile.DebugMode = 1;
    std::string big(5000, 'x');
    DebugPrint(big.c_str());
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0].size(), 515u);
}

TEST_F(DebugTest, HexDumpOfTwentyBytes)
{
    Profile.DebugMode = 1;
    uint8_t bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = static_cast<uint8_t>(0xa0 + i);
    HexDump(bytes, sizeof bytes);
    ASSERT_EQ(Lines.size(), 4u);
    EXPECT_EQ(Lines[0], kRule);
    EXPECT_EQ(Lines[1],
              "<WE>-Bytes 00-10 : A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF \n");
    EXPECT_EQ(Lines[2], "<WE>-Bytes 10-14 : B0 B1 B2 B3 \n");
    EXPECT_EQ(Lines[3], kRule);
}

TEST_F(DebugTest, HexDumpKeepsCaseOfFirstOffsetOnly)
{
    Profile.DebugMode = 1;
    uint8_t bytes[0xab] = {};
    HexDump(bytes, sizeof bytes);
    ASSERT_EQ(Lines.size(), 13u);
    // The first offset keeps its lower case, the end offset is upper-cased.
    EXPECT_EQ(Lines[10].substr(0, 19), "<WE>-Bytes 90-A0 : ");
    EXPECT_EQ(Lines[11].substr(0, 19), "<WE>-Bytes a0-AB : ");
}

TEST_F(DebugTest, HexDumpOfSixteenAndZeroBytes)
{
    Profile.DebugMode = 1;
    uint8_t bytes[16] = {};
    HexDump(bytes, 16);
    EXPECT_EQ(Lines.size(), 3u);
    Lines.clear();
    HexDump(bytes, 0);
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_EQ(Lines[0], kRule);
}

TEST_F(DebugTest, LogEventAlwaysWritten)
{
    Shell.DriverId = 7;
    LogEvent("Comms fail on port 1", 1);
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0], "007 WEX 1 - Comms fail on port 1 \n");
}

// Each event's journal priority, in the order a run produces them: a
// failed port's repeats drop to info until the port changes state again.
TEST_F(DebugTest, EventPrioritiesWarnOncePerFailure)
{
    const struct {
        const char *text;
        int priority;
    } kEvents[] = {
        {"WEX running...", kLogNotice},
        {"Comms fail on port 1", kLogWarning},
        {"Comms fail on port 1", kLogInfo},
        {"Comms fail on port 2", kLogWarning},  // ports are counted apart
        {"Comms fail on port 1", kLogInfo},
        {"Comms ok on port 1", kLogNotice},
        {"Comms fail on port 1", kLogWarning},  // a new failure warns again
        {"Link lost on port 2", kLogWarning},
        {"Link restored on port 2", kLogNotice},
        {"Comms fail on port 2", kLogWarning},
        {"Comms fail on port 9", kLogWarning},  // no such port: never demoted
        {"Comms fail on port 9", kLogWarning},
        {"Something else", kLogInfo},
        {"WEX closing...", kLogNotice},
    };
    for (const auto &e : kEvents)
        EXPECT_EQ(EventPriority(e.text), e.priority) << e.text;
    ShellReset();
    EXPECT_EQ(EventPriority("Comms fail on port 2"), kLogWarning);
}

// Lines written while standard error is the journal start with their
// priority; once JOURNAL_STREAM names another stream they are unchanged.
TEST_F(DebugTest, JournalPrefixesOnlyWhenStderrIsTheJournal)
{
    Shell.DriverId = 7;
    Profile.DebugMode = 1;
    SetDebugSink(nullptr);
    char path[] = "/tmp/wexjournal.XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    int saved = dup(2);
    dup2(file, 2);
    struct stat st;
    fstat(2, &st);
    std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    auto writeLines = [] {
        DaemonReset();
        LogEvent("WEX running...", 1);
        LogEvent("Comms fail on port 3", 1);
        LogEvent("Comms fail on port 3", 1);
        DebugPrint("Tx 01");
        MessageBox(0, "Request refused - ID supplied is invalid", "! Error !");
        MessageBox(0, "Cannot find ZOLT Interface VEK.EXE", "! Error !");
    };
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    writeLines();
    ResetEventPriorities();
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":1").c_str(), 1);
    writeLines();
    unsetenv("JOURNAL_STREAM");
    DaemonReset();
    dup2(saved, 2);
    close(saved);
    close(file);
    std::string text = ReadTextFile(path);
    unlink(path);
    const std::string plain =
        "007 WEX 1 - WEX running... \n007 WEX 1 - Comms fail on port 3 \n"
        "007 WEX 1 - Comms fail on port 3 \n<WE>-Tx 01\n"
        "! Error !: Request refused - ID supplied is invalid\n"
        "! Error !: Cannot find ZOLT Interface VEK.EXE\n";
    EXPECT_EQ(text,
              "<5>007 WEX 1 - WEX running... \n<4>007 WEX 1 - Comms fail on port 3 \n"
              "<6>007 WEX 1 - Comms fail on port 3 \n<7><WE>-Tx 01\n"
              "<4>! Error !: Request refused - ID supplied is invalid\n"
              "<3>! Error !: Cannot find ZOLT Interface VEK.EXE\n" +
                  plain);
}

// ---- SplitFields ----------------------------------------------------------

struct SplitTest : ::testing::Test {
    void SetUp() override
    {
        for (int i = 0; i < kFieldSlots; ++i) {
            std::strcpy(FieldText[i], "old");
            FieldValue[i] = 99;
        }
    }
};

TEST_F(SplitTest, NumbersAndMissingFields)
{
    SplitFields("RC 12 34 5", 5);
    EXPECT_EQ(FieldValue[0], 12);
    EXPECT_EQ(FieldValue[1], 34);
    EXPECT_EQ(FieldValue[2], 5);
    EXPECT_STREQ(FieldText[3], "");
    EXPECT_EQ(FieldValue[3], 0);
    EXPECT_STREQ(FieldText[4], "");
    EXPECT_STREQ(FieldText[5], "old");  // beyond maxFields: kept
    EXPECT_EQ(FieldValue[5], 99);
}

TEST_F(SplitTest, QuotedFieldWithNetworkStatus)
{
    SplitFields("NS 001 002 'TXRX=1' abc", 6);
    EXPECT_STREQ(FieldText[0], "001");
    EXPECT_STREQ(FieldText[1], "002");
    EXPECT_STREQ(FieldText[2], "TXRX=1");
    EXPECT_EQ(FieldValue[2], 0);
    EXPECT_STREQ(FieldText[3], "abc");
    EXPECT_STREQ(FieldText[4], "");
    EXPECT_STREQ(FieldText[5], "");
}

TEST_F(SplitTest, QuotedFieldKeepsBlanksAndDropsGluedText)
{
    SplitFields("RC 7 'a b'xyz 9", 3);
    EXPECT_STREQ(FieldText[1], "a b");
    EXPECT_EQ(FieldValue[2], 9);
}

TEST_F(SplitTest, ShortMessages)
{
    SplitFields("RC", 5);
    for (int i = 0; i < kFieldSlots; ++i)
        EXPECT_STREQ(FieldText[i], "old");
    SplitFields("RC ", 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(FieldText[i], "");
        EXPECT_EQ(FieldValue[i], 0);
    }
    EXPECT_STREQ(FieldText[4], "old");
}

TEST_F(SplitTest, BlanksAndTrailingBlank)
{
    SplitFields("RC    1   2 ", 4);
    EXPECT_EQ(FieldValue[0], 1);
    EXPECT_EQ(FieldValue[1], 2);
    EXPECT_STREQ(FieldText[2], "");
    EXPECT_STREQ(FieldText[3], "");
}

TEST_F(SplitTest, UnterminatedQuoteEndsScan)
{
    SplitFields("RC 1 'open text", 5);
    EXPECT_EQ(FieldValue[0], 1);
    EXPECT_STREQ(FieldText[1], "open text");
    EXPECT_STREQ(FieldText[2], "old");
    EXPECT_STREQ(FieldText[4], "old");
}

TEST_F(SplitTest, ExtraFieldsNotLookedAtAndTabIsOrdinary)
{
    SplitFields("RC 1 2 3 4 5 6 7", 2);
    EXPECT_EQ(FieldValue[0], 1);
    EXPECT_EQ(FieldValue[1], 2);
    EXPECT_STREQ(FieldText[2], "old");
    SplitFields("RC 1\t2 3", 2);
    EXPECT_STREQ(FieldText[0], "1\t2");
    EXPECT_EQ(FieldValue[0], 1);
}

TEST_F(SplitTest, OverlongFieldIsTruncated)
{
    std::string msg = "RC " + std::string(1000, '7') + " 5";
    SplitFields(msg.c_str(), 2);
    EXPECT_EQ(std::strlen(FieldText[0]), kFieldTextSize - 1);
    EXPECT_EQ(FieldValue[1], 5);
}

TEST(ReadNumberTest, Forms)
{
    EXPECT_EQ(ReadNumber("  42 extra"), 42);
    EXPECT_EQ(ReadNumber("+5"), 5);
    EXPECT_EQ(ReadNumber("-3"), -3);
    EXPECT_EQ(ReadNumber("abc"), 0);
    EXPECT_EQ(ReadNumber("12abc"), 12);
    EXPECT_EQ(ReadNumber(""), 0);
}

// The field store wraps as documented; the checked reading keeps a number
// past 32 bits at the limit of its sign, where every range check fails.
TEST(ReadNumberTest, PastThirtyTwoBits)
{
    const struct {
        const char *text;
        int32_t wrapped, checked;
    } cases[] = {
        {"4294967303", 7, INT32_MAX},
        {"4294967296", 0, INT32_MAX},
        {"2147483647", INT32_MAX, INT32_MAX},
        {"2147483648", INT32_MIN, INT32_MAX},
        {"-2147483648", INT32_MIN, INT32_MIN},
        {"-2147483649", INT32_MAX, INT32_MIN},
        {"-4294967295", 1, INT32_MIN},
        {" +4294967297x", 1, INT32_MAX},
        {"000000000000000000007", 7, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadNumber(c.text), c.wrapped);
        EXPECT_EQ(ReadCheckedNumber(c.text), c.checked);
    }
    EXPECT_EQ(ReadCheckedNumber(std::string(300, '9').c_str()), INT32_MAX);
    SplitFields("RC 4294967303 -5", 2);
    EXPECT_EQ(FieldValue[0], 7);
    EXPECT_EQ(FieldNumber(0), INT32_MAX);
    EXPECT_EQ(FieldNumber(1), -5);
}

TEST(SplitCommandFieldsTest, ShortTextReadsAsMissing)
{
    SplitFields("RC 7 3 12", 3);
    SplitCommandFields("RC", 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(FieldText[i], "");
        EXPECT_EQ(FieldValue[i], 0);
        EXPECT_EQ(FieldNumber(i), 0);
    }
}
