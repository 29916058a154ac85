// The WM_COPYDATA message bridge between the main window and the windows of
// attached programs.
//
// One bridge call is one WM_COPYDATA send whose wParam is the caller's
// window and whose record holds:
//   data word   message code << 16 | wParam & 0xFFFF
//   byte count  513 for a text call, 16 for a number call
//   bytes       the 513-byte text buffer, or the number as "%08lx" and a zero
// Code 2984 marks a reply: its low 16 bits are the handler's result.
// Sample: number call 2737 with wParam 12 and number 5 is the record
//   data word 0x0ab1000c, byte count 16, bytes "00000005" 00 00 00 00 00 00 00 00;
// its reply of tally 3 is data word 0x0ba80003, byte count 16, "00000005".
//
// Everything arriving here may come from another program: the record's byte
// count is all there is (the bus has checked it against the block), texts
// need not be terminated, and a number is never taken for an address.
#include "link/bridge.h"

#include "platform/bus.h"
#include "platform/loop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kNumberSize = 16;

struct BridgeState {
    char replyText[kBridgeTextSize + 1] = {};  // the last reply's text
    int32_t replyResult = 0;                   // the last reply's result word
    uint64_t replies = 0;                      // replies received so far
    LRESULT lastSendResult = 0;                // what the last plain send returned
};

// The request being delivered (nested deliveries restore the outer one).
struct BridgeDelivery {
    bool active = false;
    UINT code = 0;
    LPARAM lParam = 0;
    bool isText = false;
};
BridgeDelivery Delivering;

BridgeState Bridge;

uint32_t DataWord(UINT code, WPARAM wParam)
{
    return (static_cast<uint32_t>(code) & 0xFFFF) << 16 | (static_cast<uint32_t>(wParam) & 0xFFFF);
}

// The reply text into the caller's buffer: count bytes, zero-filled after a
// shorter text, no terminator added to one of count bytes or more.
void CopyReplyText(char *buffer, size_t count)
{
    size_t text = strnlen(Bridge.replyText, kBridgeTextSize);
    std::memcpy(buffer, Bridge.replyText, std::min(text, count));
    if (text < count)
        std::memset(buffer + text, 0, count - text);
}

void StoreReply(const COPYDATASTRUCT *record, const uint8_t *bytes, uint32_t count)
{
    if (record->cbData != kNumberSize) {
        std::memset(Bridge.replyText, 0, sizeof Bridge.replyText);
        if (count)
            std::memcpy(Bridge.replyText, bytes, std::min(count, kBridgeTextSize));
    }
    Bridge.replyResult = static_cast<int32_t>(record->dwData & 0xFFFF);
    ++Bridge.replies;
}

// Eight hex digits at most, from a block that need not be terminated.
uint32_t ReadNumber(const uint8_t *bytes, uint32_t count)
{
    char digits[kNumberSize + 1] = {};
    if (count)
        std::memcpy(digits, bytes, std::min(count, kNumberSize));
    unsigned long value = 0;
    if (std::sscanf(digits, "%8lx", &value) != 1)
        return 0;
    return static_cast<uint32_t>(value);
}

void Reply(HWND ownWindow, HWND senderWindow, LRESULT result, uintptr_t data, int isText)
{
    // Nobody to answer, or an answer to every window at once: neither is sent.
    if (senderWindow == 0 || senderWindow == HWND_BROADCAST)
        return;
    BridgeSend(ownWindow, senderWindow, kBridgeReply, static_cast<WPARAM>(result), data, 0, isText);
}

LRESULT SendToOwnWindow(HWND ownWindow, UINT code, WPARAM wParam, LPARAM lParam, bool)
{
    return SendMessage(ownWindow, code, wParam, lParam);
}

LRESULT Handle(BridgeHandler handler, HWND ownWindow, UINT code, WPARAM wParam, LPARAM lParam,
               bool isText)
{
    BridgeDelivery saved = Delivering;
    Delivering = BridgeDelivery{true, code, lParam, isText};
    LRESULT result = handler(ownWindow, code, wParam, lParam, isText);
    Delivering = saved;
    return result;
}

}  // namespace

int32_t BridgeSend(HWND ownWindow, HWND targetWindow, UINT code, WPARAM wParam, uintptr_t data,
                   int capacity, int isText)
{
    COPYDATASTRUCT record;
    char number[kNumberSize] = {};
    record.dwData = DataWord(code, wParam);
    if (isText == 1) {
        if (data == 0)
            return 0;
        record.cbData = kBridgeTextSize;
        record.lpData = reinterpret_cast<void *>(data);
    } else {
        std::snprintf(number, sizeof number, "%08lx",
                      static_cast<unsigned long>(static_cast<uint32_t>(data)));
        record.cbData = kNumberSize;
        record.lpData = number;
    }
    uint64_t before = Bridge.replies;
    Bridge.lastSendResult = SendMessage(targetWindow, WM_COPYDATA, static_cast<WPARAM>(ownWindow),
                                        reinterpret_cast<LPARAM>(&record));
    if ((code & 0xFFFF) == kBridgeReply)
        return static_cast<int32_t>(Bridge.lastSendResult);
    // A receiver that did not reply has no result; an earlier call's reply is
    // not passed off as this one's.
    if (Bridge.replies == before)
        return 0;
    if (isText == 1 && capacity > 0)
        CopyReplyText(reinterpret_cast<char *>(data),
                      std::min(static_cast<size_t>(capacity), static_cast<size_t>(kBridgeTextSize)));
    return Bridge.replyResult;
}

void BridgeReceive(HWND ownWindow, HWND senderWindow, COPYDATASTRUCT *copyData)
{
    BridgeReceiveWith(ownWindow, senderWindow, copyData, SendToOwnWindow);
}

void BridgeReceiveWith(HWND ownWindow, HWND senderWindow, COPYDATASTRUCT *copyData,
                       BridgeHandler handler)
{
    if (!copyData || !handler)
        return;
    UINT code = copyData->dwData >> 16;
    WPARAM wParam = copyData->dwData & 0xFFFF;
    auto *bytes = static_cast<const uint8_t *>(copyData->lpData);
    uint32_t count = bytes ? copyData->cbData : 0;
    if (code == kBridgeReply) {
        StoreReply(copyData, bytes, count);
        return;
    }
    if (copyData->cbData == kNumberSize) {
        uint32_t number = ReadNumber(bytes, count);
        // A number where the handler expects an address is not delivered.
        LRESULT result = BusLParamIsAddress(code)
                             ? 0
                             : Handle(handler, ownWindow, code, wParam, static_cast<LPARAM>(number), false);
        Reply(ownWindow, senderWindow, result, number, 0);
        return;
    }
    // The handler reads and may change the text in place; it gets a
    // terminated copy of what came, and the copy travels back in the reply.
    char text[kBridgeTextSize + 1] = {};
    if (count)
        std::memcpy(text, bytes, std::min(count, kBridgeTextSize));
    LRESULT result = code == WM_COPYDATA
                         ? 0
                         : Handle(handler, ownWindow, code, wParam, reinterpret_cast<LPARAM>(text), true);
    Reply(ownWindow, senderWindow, result, reinterpret_cast<uintptr_t>(text), 1);
}

bool BridgeDelivering(UINT code, LPARAM lParam, bool *isText)
{
    bool active = Delivering.active && Delivering.code == code && Delivering.lParam == lParam;
    if (isText)
        *isText = active && Delivering.isText;
    return active;
}

void BridgeReset()
{
    Bridge = BridgeState{};
    Delivering = BridgeDelivery{};
}
