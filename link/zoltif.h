// The control system's interface calls over the bus.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

// Sends code to window: isText 1 sends the text at lParam (length bytes,
// terminator included) as a block and copies the reply's block back;
// isText 0 sends wParam and lParam as numbers.  Returns the target's result.
LRESULT ZOLT32TxMessage(HWND window, UINT code, WPARAM wParam, LPARAM lParam, int isText,
                        uint32_t length);
// Message 2074: delivers the control-system command in lParam (a text) to
// the main window as 2777.
LRESULT ZOLT32RxMessage(HWND mainWindow, WPARAM wParam, LPARAM lParam);
