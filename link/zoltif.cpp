// The control system's interface calls, carried by the local message bus.
//
// Text form: the text, terminator included, travels as the frame's block and
// the target's procedure sees its own copy at lParam; the reply brings the
// block back, which is how a name request (2164) returns with the name in
// its 256-byte buffer.  Number form: wParam and lParam as 32-bit numbers.
// A window of our own process is called directly, with or without the bus.
// Sample: "RR 007 005 003" to VEK with code 2187 is a send frame whose block
// is the 15 bytes 52 52 20 30 30 37 20 30 30 35 20 30 30 33 00.
#include "link/zoltif.h"

#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/shellstate.h"

namespace {
constexpr UINT kCommandToMain = 2777;
}  // namespace

LRESULT ZOLT32TxMessage(HWND window, UINT code, WPARAM wParam, LPARAM lParam, int isText,
                        uint32_t length)
{
    if (isText != 1)
        return BusSend(Shell.MainWindow, window, code, wParam, lParam);
    // A text needs its buffer; one longer than a frame can carry is not cut
    // short silently but not sent at all.
    if (lParam == 0 || length == 0 || length > kBusMaxBlock)
        return 0;
    return BusSendBlock(Shell.MainWindow, window, code, wParam, reinterpret_cast<void *>(lParam),
                        length);
}

// Message 2074 carries one command text; the main window takes it as 2777.
LRESULT ZOLT32RxMessage(HWND mainWindow, WPARAM wParam, LPARAM lParam)
{
    // The bus gives every 2074 a terminated text, an empty one when the
    // sender sent none; a direct caller with no text gets nothing delivered.
    if (lParam == 0)
        return 0;
    return SendMessage(mainWindow, kCommandToMain, wParam, lParam);
}
