// The main window's procedure: every message from VEK, attached programs,
// the serial layer, the menu and timer 6 is handed to the module that owns it.
#include <cstdio>
#include <cstring>

#include "config/profile.h"
#include "link/attach.h"
#include "link/bridge.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "link/zoltif.h"
#include "platform/bus.h"
#include "platform/debug.h"
#include "platform/loop.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "shell/extension.h"
#include "shell/menu.h"
#include "shell/shell.h"
#include "ui/maindlg.h"

namespace {

constexpr uintptr_t kReloadTimer = 6;

const char *TextOf(LPARAM lParam) { return reinterpret_cast<const char *>(lParam); }
bool ForUs(LPARAM lParam) { return static_cast<int32_t>(lParam) == Shell.DriverId; }

// An attached window must be another program's: 0 or HWND_BROADCAST would
// make every message for it a broadcast (our shutdown's 2175 would end every
// driver on the bus), and a window of our own would have the main window
// forward 2179 to itself until the stack runs out.  A refused attach leaves
// whatever was attached before.
bool Attachable(WPARAM window, const char *what)
{
    if (window <= 0xFFFFFFFFu && BusIsForeignWindow(static_cast<HWND>(window)))
        return true;
    DebugPrintf("Refused %s window 0x%08lx", what, static_cast<unsigned long>(window));
    return false;
}

// Puts a window in an attached slot (or clears it with 0).  The bus keeps
// connections to windows it sent to; the one left behind is closed, so
// attaches that come and go cannot pile up descriptors.
void SetAttached(HWND *slot, HWND window)
{
    if (*slot != 0 && *slot != window)
        BusForgetWindow(*slot);
    *slot = window;
}

void AttachExternalDriver(WPARAM window, LPARAM id)
{
    if (!ForUs(id) || !Attachable(window, "external driver"))
        return;
    SetAttached(&Shell.ExternalDriverWindow, static_cast<HWND>(window));
    ZOLT32TxMessage(Shell.ExternalDriverWindow, 2739, Shell.MainWindow, Shell.DriverId, 0, 0);
    SetDialogText(IDC_DRIVER, "/__2B0_");
    SetDialogText(IDC_DRIVER, "External");
}

void DetachExternalDriver(LPARAM id)
{
    if (!ForUs(id) || Shell.ExternalDriverWindow == 0)
        return;
    SetDialogText(IDC_DRIVER, "/__9B0_");
    SetDialogText(IDC_DRIVER, "Internal");
    SetAttached(&Shell.ExternalDriverWindow, 0);
}

void AttachControlWindow(WPARAM window, LPARAM id)
{
    if (!ForUs(id) || !Attachable(window, "control"))
        return;
    SetAttached(&Shell.ControlWindow, static_cast<HWND>(window));
    SendMessage(Shell.ControlWindow, 2042, Shell.MainWindow, Shell.DriverId);
    SetDialogText(IDC_CONTROL, "/__1B0_");
    SetDialogText(IDC_CONTROL, "External");
}

void DetachControlWindow(LPARAM id)
{
    if (!ForUs(id) || Shell.ControlWindow == 0)
        return;
    SetDialogText(IDC_CONTROL, "/__2B0_");
    SetDialogText(IDC_CONTROL, "Internal");
    SetAttached(&Shell.ControlWindow, 0);
}

// 2189: a command for an attached control window, else for us.  The bridge
// sends a 513-byte block, so the command is copied into a buffer of that
// size first; only as many reply bytes come back as the command held.
void ForwardOrInterpret(char *text)
{
    if (!text)
        return;
    if (Shell.ControlWindow == 0) {
        ReceiveCommand(text);
        return;
    }
    char block[kBridgeTextSize] = {};
    size_t held = strnlen(text, kBridgeTextSize - 1);
    std::memcpy(block, text, held);
    BridgeSend(Shell.MainWindow, Shell.ControlWindow, 2776, 0,
               reinterpret_cast<uintptr_t>(block), 32, 1);
    size_t back = held + 1 < 32 ? held + 1 : 32;
    std::memcpy(text, block, back);
}

void NetworkStatus(LPARAM lParam)
{
    const char *text = TextOf(lParam);
    if (!text)
        return;
    if (Shell.ExternalDriverWindow != 0)
        ZOLT32TxMessage(Shell.ExternalDriverWindow, 2121, 0, lParam, 1,
                        static_cast<uint32_t>(std::strlen(text) + 1));
    else
        HandleNetworkStatus(text);
}

void DatabaseChanged(LPARAM lParam)
{
    Shell.NoticeDatabase = HIWORD(static_cast<uintptr_t>(lParam));
    Shell.NoticeIndex = LOWORD(static_cast<uintptr_t>(lParam));
    KillTimer(Shell.MainWindow, kReloadTimer);
    SetTimer(Shell.MainWindow, kReloadTimer, 1000);
}

void ReloadNames()
{
    KillTimer(Shell.MainWindow, kReloadTimer);
    FillSourceList();
    FillDestList();
}

// Messages of the control system and attached programs (2000 and up).
LRESULT ControlSystemMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case 2074: return ZOLT32RxMessage(window, wParam, lParam);
    case 2119: return Link.WorkStation;
    case 2121: NetworkStatus(lParam); return 0;
    case 2174: DatabaseChanged(lParam); return 0;
    case 2175: ShutdownDriver(); return 0;
    case 2177: RefreshRevertives(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam)); return 0;
    case 2032: case 2179: case 2180: case 2181: case 2190: case 2732: case 2733:
        return HandleLinkMessage(message, wParam, lParam);
    case 2189: ForwardOrInterpret(reinterpret_cast<char *>(lParam)); return 1;
    case 2734: case 49155: AttachExternalDriver(wParam, lParam); return 0;
    case 2735: DetachExternalDriver(lParam); return 0;
    case 2736:
        if (Profile.DriverMode == kDriverExternal)
            TallyFromExternal(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam));
        else
            RouteFromExternal(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam));
        return 0;
    case 2737: return ReportTallyToExternal(static_cast<int32_t>(wParam));
    case 2774: case 49164: AttachControlWindow(wParam, lParam); return 0;
    case 2775: case 49165: DetachControlWindow(lParam); return 0;
    case 2777: if (lParam) ReceiveCommand(TextOf(lParam)); return 0;
    case 2778:
        // A decimal tally needs at most 12 bytes with its terminator.
        TallyText(static_cast<int32_t>(wParam), reinterpret_cast<char *>(lParam), 12);
        return 0;
    default: return ExtensionMessage(window, message, wParam, lParam);
    }
}

}  // namespace

LRESULT MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
        ShutdownDriver();
        return 0;
    case WM_COMMNOTIFY:
        DrainPort(LOWORD(wParam));
        return 0;
    case WM_COPYDATA:
        if (lParam)
            BridgeReceive(window, static_cast<HWND>(wParam), reinterpret_cast<COPYDATASTRUCT *>(lParam));
        return 0;
    case WM_COMMAND:
        RunMenuCommand(LOWORD(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == kReloadTimer)
            ReloadNames();
        return 0;
    default:
        return ControlSystemMessage(window, message, wParam, lParam);
    }
}
