// wexmsg: a bus client.  Sends any message to any window and prints the
// result, lists the windows, broadcasts, and can attach to a driver as an
// external driver or control program, recording what arrives and answering
// with chosen results.
#pragma once
#include "platform/winapi.h"

#include <map>
#include <string>

struct WexmsgState {
    HWND Window = 0;
    HWND VekWindow = 0;              // from VEK's 2032 answer
    bool LogIncoming = false;        // attach mode or --verbose
    std::map<UINT, LRESULT> Results; // --result CODE=VALUE; others 0
    bool HasReplyText = false;       // --reply-text: written into bridge text requests
    std::string ReplyText;
};
extern WexmsgState Wexmsg;

constexpr uintptr_t kQuitTimer = 1;

// The procedure of wexmsg's window.
LRESULT WexmsgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
