// Types and message numbers of the window-message platform the driver is
// written against.  On Linux these are served by platform/loop (in-process
// windows, timers, the message queue) and platform/bus (other programs).
#pragma once
#include <cstdint>

using HWND = uint32_t;      // window handle: random 32-bit, never 0 or 0xFFFF
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;     // a number, or the address of a text / block
using LRESULT = intptr_t;

using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

constexpr HWND HWND_BROADCAST = 0xFFFF;

constexpr UINT WM_MOVE = 3;
constexpr UINT WM_CLOSE = 16;
constexpr UINT WM_QUERYENDSESSION = 17;
constexpr UINT WM_QUIT = 18;
constexpr UINT WM_COMMNOTIFY = 68;
constexpr UINT WM_COPYDATA = 74;
constexpr UINT WM_INITDIALOG = 272;
constexpr UINT WM_COMMAND = 273;
constexpr UINT WM_SYSCOMMAND = 274;
constexpr UINT WM_TIMER = 275;

inline uint16_t LOWORD(uintptr_t v) { return static_cast<uint16_t>(v & 0xFFFF); }
inline uint16_t HIWORD(uintptr_t v) { return static_cast<uint16_t>((v >> 16) & 0xFFFF); }
inline LPARAM MAKELPARAM(uint16_t lo, uint16_t hi)
{
    return static_cast<LPARAM>(static_cast<uint32_t>(lo) | (static_cast<uint32_t>(hi) << 16));
}

struct MSG {
    HWND hwnd = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// The copy-data record of WM_COPYDATA: data word, byte count, data pointer.
struct COPYDATASTRUCT {
    uint32_t dwData = 0;
    uint32_t cbData = 0;
    void *lpData = nullptr;
};
