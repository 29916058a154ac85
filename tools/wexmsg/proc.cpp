// wexmsg's window: records what arrives (in attach mode or with --verbose)
// and answers with the configured results.  WM_COPYDATA is recorded as its
// record and then unpacked by the message bridge, so a request such as the
// driver's forwarded command (2776) is also recorded as the message it
// carries, marked via=bridge, and answered by a bridge reply.
#include "tools/wexmsg/wexmsg.h"

#include "link/bridge.h"
#include "platform/bus.h"
#include "platform/loop.h"
#include "tools/common/buslog.h"

#include <algorithm>
#include <cstring>

WexmsgState Wexmsg;

namespace {

constexpr UINT kAttachAnswerToVek = 2032;

void Record(const std::string &line)
{
    if (Wexmsg.LogIncoming)
        LogWrite(line);
}

enum class Via { Bus, BridgeNumber, BridgeText };

// A request unpacked by the bridge: a text request's lParam is its 513-byte
// text, which --reply-text replaces before the reply carries it back.
std::string BridgeRequest(UINT message, WPARAM wParam, LPARAM lParam, Via via)
{
    bool text = via == Via::BridgeText;
    std::string line = MessageLine("RX", message, wParam, text ? 0 : lParam, BusDeliverySender()) +
                       " via=bridge";
    if (!text)
        return line;
    auto *buffer = reinterpret_cast<char *>(lParam);
    line += " text=" + QuoteText(buffer, kBridgeTextSize);
    if (Wexmsg.HasReplyText) {
        std::memset(buffer, 0, kBridgeTextSize);
        std::memcpy(buffer, Wexmsg.ReplyText.data(),
                    std::min<size_t>(Wexmsg.ReplyText.size(), kBridgeTextSize - 1));
    }
    return line;
}

// Every message is answered here; how lParam is to be read is passed in,
// never remembered, so a message delivered while a bridge request waits
// (nested) is not taken for that request.
LRESULT Answer(UINT message, WPARAM wParam, LPARAM lParam, Via via)
{
    if (message == kAttachAnswerToVek)
        Wexmsg.VekWindow = static_cast<HWND>(wParam);
    auto it = Wexmsg.Results.find(message);
    LRESULT result = it == Wexmsg.Results.end() ? 0 : it->second;
    std::string line;
    if (via != Via::Bus) {
        line = BridgeRequest(message, wParam, lParam, via);
    } else {
        uint32_t length = BusDeliveryBlockLength();
        bool address = length || BusLParamIsAddress(message);
        line = MessageLine("RX", message, wParam, address ? 0 : lParam, BusDeliverySender()) +
               BlockPart(reinterpret_cast<const void *>(lParam), length);
    }
    Record(line + ResultPart(result));
    return result;
}

LRESULT FromBridge(HWND, UINT code, WPARAM wParam, LPARAM lParam, bool isText)
{
    return Answer(code, wParam, lParam, isText ? Via::BridgeText : Via::BridgeNumber);
}

LRESULT CopyData(HWND window, WPARAM wParam, LPARAM lParam)
{
    auto *record = reinterpret_cast<COPYDATASTRUCT *>(lParam);
    char head[64];
    std::snprintf(head, sizeof head, " dataword=0x%08x count=%u", record->dwData, record->cbData);
    Record(MessageLine("RX", WM_COPYDATA, wParam, 0, BusDeliverySender()) + head +
           " text=" + QuoteText(record->lpData, record->cbData) + ResultPart(0));
    BridgeReceiveWith(window, static_cast<HWND>(wParam), record, FromBridge);
    return 0;
}

}  // namespace

LRESULT WexmsgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == kQuitTimer) {
        PostQuitMessage(0);
        return 0;
    }
    if (message == WM_COPYDATA)
        return lParam ? CopyData(window, wParam, lParam) : 0;
    return Answer(message, wParam, lParam, Via::Bus);
}
