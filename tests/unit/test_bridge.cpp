// The WM_COPYDATA bridge: record layout of text and number calls, the
// 16-bit result and wParam, reply handling, the copy-back into the caller's
// buffer, and records from programs that do not play by the rules.
#include "link/bridge.h"
#include "platform/bus.h"
#include "platform/loop.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// What a window of this test saw of one WM_COPYDATA record.
struct Record {
    HWND from = 0;
    uint32_t dataWord = 0;
    uint32_t count = 0;
    std::string bytes;  // exactly count bytes
};

// The driver side: BridgeReceive in front of a handler that records.
struct DriverSide {
    HWND window = 0;
    std::vector<Record> records;
    int calls = 0;
    UINT code = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::string text;      // lParam read as a text
    LRESULT result = 0;
    const char *writeBack = nullptr;  // written into the text, as TallyText does
};

// The attached program: sees raw records, answers by script.
struct ProgramSide {
    HWND window = 0;
    std::vector<Record> records;
    bool reply = true;
    int replyResult = 0;
    std::string replyText;
    int replies = 0;
};

DriverSide D;
ProgramSide Prog;

Record Capture(WPARAM wParam, LPARAM lParam)
{
    auto *cds = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
    Record r{static_cast<HWND>(wParam), cds->dwData, cds->cbData, {}};
    if (cds->lpData)
        r.bytes.assign(static_cast<const char *>(cds->lpData), cds->cbData);
    return r;
}

LRESULT DriverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA) {
        D.records.push_back(Capture(wParam, lParam));
        BridgeReceive(window, static_cast<HWND>(wParam), reinterpret_cast<COPYDATASTRUCT *>(lParam));
        return 0;
    }
    ++D.calls;
    D.code = message;
    D.wParam = wParam;
    D.lParam = lParam;
    if (message == 2776 || message == 2778 || message == 3000) {
        D.text = reinterpret_cast<const char *>(lParam);
        if (D.writeBack)
            std::strcpy(reinterpret_cast<char *>(lParam), D.writeBack);
    }
    return D.result;
}

LRESULT ProgramProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA)
        return 0;
    Record r = Capture(wParam, lParam);
    Prog.records.push_back(r);
    if ((r.dataWord >> 16) == kBridgeReply) {
        ++Prog.replies;
        BridgeReceive(window, r.from, reinterpret_cast<COPYDATASTRUCT *>(lParam));
    } else if (Prog.reply) {
        std::vector<char> text(kBridgeTextSize, 0);
        std::memcpy(text.data(), Prog.replyText.data(), std::min<size_t>(Prog.replyText.size(), 513));
        BridgeSend(window, r.from, kBridgeReply, static_cast<WPARAM>(Prog.replyResult),
                   reinterpret_cast<uintptr_t>(text.data()), 0, 1);
    }
    return 0;
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LoopReset();
        BridgeReset();
        D = DriverSide{};
        Prog = ProgramSide{};
        D.window = CreateWindowProc(DriverProc, false);
        Prog.window = CreateWindowProc(ProgramProc, false);
    }
    void TearDown() override { LoopReset(); }

    // A record straight into the driver's window, as another program might send it.
    void Deliver(uint32_t dataWord, const void *bytes, uint32_t count)
    {
        COPYDATASTRUCT cds{dataWord, count, const_cast<void *>(bytes)};
        SendMessage(D.window, WM_COPYDATA, Prog.window, reinterpret_cast<LPARAM>(&cds));
    }
};

TEST_F(BridgeTest, ForwardedCommandTravelsAs513BytesAndTheReplyOverwrites32)
{
    char command[600];
    std::memset(command, '#', sizeof command);
    std::strcpy(command, "RC 7 5 12 ',---' 3");
    Prog.replyText = "OK";
    Prog.replyResult = 5;
    EXPECT_EQ(BridgeSend(D.window, Prog.window, 2776, 0, reinterpret_cast<uintptr_t>(command), 32, 1), 5);
    ASSERT_EQ(Prog.records.size(), 1u);
    const Record &r = Prog.records[0];
    EXPECT_EQ(r.from, D.window);
    EXPECT_EQ(r.dataWord, 0x0AD80000u);  // 2776 << 16
    EXPECT_EQ(r.count, 513u);
    EXPECT_EQ(r.bytes.substr(0, 19), std::string("RC 7 5 12 ',---' 3\0", 19));
    EXPECT_EQ(r.bytes[512], '#');
    // "OK", then zero bytes up to 32; the rest of the buffer is untouched.
    EXPECT_EQ(std::string(command, 32), std::string("OK") + std::string(30, '\0'));
    EXPECT_EQ(command[32], '#');
    EXPECT_EQ(command[513], '#');
}

TEST_F(BridgeTest, ReplyTextOfCapacityOrMoreIsCopiedWithoutTerminator)
{
    char command[513] = "RC 7 5 12 ',---' 3";
    Prog.replyText = std::string(40, 'x');
    BridgeSend(D.window, Prog.window, 2776, 0, reinterpret_cast<uintptr_t>(command), 32, 1);
    EXPECT_EQ(std::string(command, 32), std::string(32, 'x'));
    EXPECT_EQ(command[32], '\0');
    // Capacity 0: nothing is copied back.
    char other[513] = "keep";
    BridgeSend(D.window, Prog.window, 2776, 0, reinterpret_cast<uintptr_t>(other), 0, 1);
    EXPECT_STREQ(other, "keep");
}

TEST_F(BridgeTest, NumberCallRecordHoldsEightHexDigits)
{
    Prog.replyResult = 3;
    EXPECT_EQ(BridgeSend(D.window, Prog.window, 2737, 12, 5, 0, 0), 3);
    ASSERT_EQ(Prog.records.size(), 1u);
    EXPECT_EQ(Prog.records[0].dataWord, 0x0AB1000Cu);
    EXPECT_EQ(Prog.records[0].count, 16u);
    EXPECT_EQ(Prog.records[0].bytes, std::string("00000005\0\0\0\0\0\0\0\0", 16));
    // isText other than 1 is a number call too.
    BridgeSend(D.window, Prog.window, 2737, 1, 0xABCDEF01, 0, 7);
    EXPECT_EQ(Prog.records[1].bytes.substr(0, 9), std::string("abcdef01\0", 9));
}

TEST_F(BridgeTest, RequestsReachTheHandlerAndOnlyLow16BitsComeBack)
{
    struct Case {
        const char *what;
        WPARAM wParam;
        uintptr_t number;
        LRESULT handlerResult;
        WPARAM seenWParam;
        LPARAM seenLParam;
        int32_t back;
    } cases[] = {
        {"result 0x12345 comes back as 0x2345", 1, 2, 0x12345, 1, 2, 0x2345},
        {"wParam above 65535 loses its high bits", 0x12345, 9, 1, 0x2345, 9, 1},
        {"0xFFFFFFFF arrives whole", 0, 0xFFFFFFFF, 0, 0, 0xFFFFFFFF, 0},
        {"a negative result comes back unsigned", 0, 1, -1, 0, 1, 0xFFFF},
    };
    for (const auto &c : cases) {
        D.result = c.handlerResult;
        EXPECT_EQ(BridgeSend(Prog.window, D.window, 2733, c.wParam, c.number, 0, 0), c.back) << c.what;
        EXPECT_EQ(D.code, 2733u) << c.what;
        EXPECT_EQ(D.wParam, c.seenWParam) << c.what;
        EXPECT_EQ(D.lParam, c.seenLParam) << c.what;
        // The number reply carries the request's number back.
        const Record &reply = Prog.records.back();
        EXPECT_EQ(reply.dataWord >> 16, kBridgeReply) << c.what;
        EXPECT_EQ(reply.count, 16u) << c.what;
        char expect[16] = {};
        std::snprintf(expect, sizeof expect, "%08lx", static_cast<unsigned long>(c.number));
        EXPECT_EQ(reply.bytes, std::string(expect, 16)) << c.what;
    }
}

TEST_F(BridgeTest, TextRequestIsReadInPlaceAndItsChangesTravelBack)
{
    D.writeBack = "3";
    D.result = 0;
    char buffer[513] = "ignored";
    BridgeSend(Prog.window, D.window, 2778, 12, reinterpret_cast<uintptr_t>(buffer), 16, 1);
    EXPECT_EQ(D.code, 2778u);
    EXPECT_EQ(D.wParam, 12u);
    EXPECT_EQ(D.text, "ignored");
    const Record &reply = Prog.records.back();
    EXPECT_EQ(reply.dataWord, static_cast<uint32_t>(kBridgeReply) << 16);
    EXPECT_EQ(reply.count, 513u);
    EXPECT_EQ(std::string(buffer, 16), std::string("3") + std::string(15, '\0'));
    EXPECT_EQ(buffer[16], '\0');
}

TEST_F(BridgeTest, RepliesAreNeverDeliveredNorAnswered)
{
    Deliver(static_cast<uint32_t>(kBridgeReply) << 16 | 7, "00000001\0\0\0\0\0\0\0", 16);
    Deliver(static_cast<uint32_t>(kBridgeReply) << 16 | 8, "text", 5);
    EXPECT_EQ(D.calls, 0);
    EXPECT_TRUE(Prog.records.empty());
}

TEST_F(BridgeTest, NoReplyGivesZeroAndLeavesTheBufferAlone)
{
    char command[513] = "RC 1 2 3 ',---' 0";
    Prog.replyText = "earlier";
    Prog.replyResult = 9;
    EXPECT_EQ(BridgeSend(D.window, Prog.window, 2776, 0, reinterpret_cast<uintptr_t>(command), 32, 1), 9);
    Prog.reply = false;
    char next[513] = "RC 1 4 5 ',---' 0";
    EXPECT_EQ(BridgeSend(D.window, Prog.window, 2776, 0, reinterpret_cast<uintptr_t>(next), 32, 1), 0);
    EXPECT_STREQ(next, "RC 1 4 5 ',---' 0");
    // A window that does not exist answers nothing either.
    EXPECT_EQ(BridgeSend(D.window, 0x5a5a5a5a, 2737, 1, 1, 0, 0), 0);
}

TEST_F(BridgeTest, HostileRecordsAreReadOnlyWithinTheirByteCount)
{
    // Exactly five bytes, no terminator: the handler sees a terminated text.
    auto five = std::make_unique<char[]>(5);
    std::memcpy(five.get(), "abcde", 5);
    Deliver(3000u << 16, five.get(), 5);
    EXPECT_EQ(D.text, "abcde");
    // Sixteen hex digits with no terminator: eight are read.
    auto digits = std::make_unique<char[]>(16);
    std::memset(digits.get(), 'f', 16);
    Deliver(2733u << 16, digits.get(), 16);
    EXPECT_EQ(D.lParam, static_cast<LPARAM>(0xFFFFFFFF));
    Deliver(2733u << 16, "zzzzzzzzzzzzzzz", 16);
    EXPECT_EQ(D.lParam, 0);
    // More than 513 bytes: the handler's text stops at 513.
    std::vector<char> big(1000, 'y');
    Deliver(3000u << 16, big.data(), 1000);
    EXPECT_EQ(D.text.size(), 513u);
    Deliver(3000u << 16, nullptr, 513);
    EXPECT_EQ(D.text, "");
    int before = D.calls;
    // A number where the handler takes an address, and a nested WM_COPYDATA,
    // are answered 0 without reaching the handler.
    Deliver(2777u << 16, "00001234\0\0\0\0\0\0\0", 16);
    Deliver(static_cast<uint32_t>(WM_COPYDATA) << 16, "0000000000000000000000000", 25);
    EXPECT_EQ(D.calls, before);
    ASSERT_GE(Prog.records.size(), 2u);
    EXPECT_EQ(Prog.records.back().dataWord, static_cast<uint32_t>(kBridgeReply) << 16);
    BridgeReceive(D.window, Prog.window, nullptr);
}

}  // namespace
