// Attach to VEK, registration with it, and the link mode.
//
// VEK is found by broadcasting 2031; it answers, while the broadcast is still
// under way, by sending 2032 with its window back to the main window.  The
// registration (2193) then decides whether revertives may leave the driver
// (Tx/Rx) or not (Rx Only).  Every exchange here is a synchronous send on
// the user-interface thread, so a message from VEK or an attached program
// may arrive nested inside one of them.
#include "link/attach.h"

#include "config/profile.h"
#include "link/zoltif.h"
#include "platform/bus.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/shellstate.h"
#include "serial/ports.h"

#include <cstdio>

LinkState Link;

namespace {

constexpr const char *kErrorCaption = "! Error !";

// The message numbers of this module.
enum : UINT {
    kMsgFindVek = 2031,
    kMsgVekHere = 2032,
    kMsgWorkStation = 2119,
    kMsgExternalQuery = 2179,
    kMsgRequestTxRx = 2180,
    kMsgPortsOk = 2181,
    kMsgDeregister = 2186,
    kMsgRxOnly = 2190,
    kMsgRegister = 2193,
    kMsgModeToVek = 2215,
    kMsgQueryMode = 2732,
    kMsgSetMode = 2733,
};

bool IsOwnDevice(LPARAM lParam) { return lParam == static_cast<LPARAM>(Shell.DriverId); }

// The Interface button takes its caption code first, then its caption.
void ShowInterface(const char *captionCode, const char *caption)
{
    SetDialogText(IDC_INTERFACE, captionCode);
    SetDialogText(IDC_INTERFACE, caption);
}

// Passes a link message on to the attached external driver and takes its
// answer.  False, with nothing sent, when none is attached or when the same
// message is already waiting on it: an external driver that answers 2179
// with 2179 (or our own window attached as one) would otherwise have the
// two of us forward it to each other until a stack runs out.
bool ForwardToExternal(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *answer)
{
    unsigned bit = 1u << (message - kMsgExternalQuery);  // 2179..2190: bits 0..11
    if (Shell.ExternalDriverWindow == 0 || (Link.ForwardsUnderWay & bit) != 0)
        return false;
    Link.ForwardsUnderWay |= bit;
    *answer = SendMessage(Shell.ExternalDriverWindow, message, wParam, lParam);
    Link.ForwardsUnderWay &= ~bit;
    return true;
}

// 2032: VEK's window, as the answer to our attach broadcast.  Any other
// 2032 (late, or naming no other program's window) changes nothing.
void TakeVekWindow(WPARAM wParam)
{
    HWND window = static_cast<HWND>(wParam);
    if (!Link.FindingVek || !BusIsForeignWindow(window)) {
        DebugPrintf("Ignored VEK window 0x%08x", static_cast<unsigned>(window));
        return;
    }
    if (Link.VekWindow != 0 && Link.VekWindow != window)
        BusForgetWindow(Link.VekWindow);  // an earlier answer of the same broadcast
    Link.VekWindow = window;
}

// 2180: VEK asks whether the driver may go (back) to Tx/Rx.  An attached
// external driver knows its own router's links; otherwise ours decide.
LRESULT RequestTxRx()
{
    LRESULT answer;
    if (!ForwardToExternal(kMsgRequestTxRx, 0, static_cast<LPARAM>(Shell.DriverId), &answer))
        answer = AllPortsHealthy();
    if (answer != 0)
        SetTxRxMode(2);
    return answer;
}

}  // namespace

int AttachToVek()
{
    DebugPrint("Trying to attach to VEK");
    // VEK's 2032 arrives nested inside this broadcast and sets VekWindow.
    Link.FindingVek = true;
    SendMessage(HWND_BROADCAST, kMsgFindVek, Shell.MainWindow, 0);
    Link.FindingVek = false;
    if (Link.VekWindow == 0) {
        MessageBox(Shell.MainWindow, "Cannot find ZOLT Interface VEK.EXE", kErrorCaption);
        return 0;
    }
    Link.WorkStation = static_cast<int32_t>(SendMessage(Link.VekWindow, kMsgWorkStation, 0, 0));
    return 1;
}

int RegisterDevice()
{
    DebugPrintf("VEK handle 0x%04x", static_cast<unsigned>(Link.VekWindow));
    int32_t result;
    if (Shell.DriverId < 1 || Shell.DriverId > 999) {
        MessageBox(Shell.MainWindow, "The supplied driver Id is invalid", kErrorCaption);
        result = 1;
    } else {
        DebugPrintf("Attempting to register device %d", Shell.DriverId);
        Link.TxRxMode = 0;
        result = static_cast<int32_t>(SendMessage(Link.VekWindow, kMsgRegister, Shell.MainWindow,
                                                  static_cast<LPARAM>(Shell.DriverId)));
        switch (result) {
        case 0:
            Link.TxRxMode = 2;
            ShowInterface("/__2B0_", "Tx/Rx");  // the title keeps its start-up text
            break;
        case 1:
            MessageBox(Shell.MainWindow, "Request refused - ID supplied is invalid", kErrorCaption);
            break;
        case 2:
            MessageBox(Shell.MainWindow,
                       "Request refused - A driver has already registered this Id", kErrorCaption);
            break;
        case 3:
            MessageBox(Shell.MainWindow,
                       "Request refused - VEK has not been enabled in Driver Mode", kErrorCaption);
            break;
        default:
            break;  // refused without a word
        }
    }
    DebugPrintf("Result is %d", result);
    return result == 0 ? 1 : 0;
}

void DeregisterDevice()
{
    // Without a VEK there is nobody to sign off from.
    if (Link.VekWindow == 0)
        return;
    ZOLT32TxMessage(Link.VekWindow, kMsgDeregister, Shell.MainWindow, 0, 0, 0);
}

void ShowTxRxMode(int32_t mode)
{
    const char *format;
    switch (mode) {
    case 1:
        ShowInterface("/__1B0_", "Rx Only");
        format = "WEX_%03d - RxOnly - V%s";
        break;
    case 2:
    case 3:
        ShowInterface("/__2B0_", "Tx/Rx");
        format = "WEX_%03d - TXRX - V%s";
        break;
    case 5:
        return;  // a query: nothing changes
    default:
        ShowInterface("/__1B0_", "Error!");
        format = "WEX_%03d - Unknown Mode! - V%s";
        break;
    }
    char title[64];
    std::snprintf(title, sizeof title, format, Shell.DriverId, kVersionText);
    SetWindowText(Shell.MainWindow, title);
}

int32_t SetTxRxMode(int32_t mode)
{
    ShowTxRxMode(mode);
    // VEK is told every request, also the mode-5 query.
    SendMessage(Link.VekWindow, kMsgModeToVek, static_cast<WPARAM>(static_cast<uint32_t>(mode)),
                static_cast<LPARAM>(Shell.DriverId));
    if (mode != 5)
        Link.TxRxMode = mode;
    return Link.TxRxMode;
}

int AllPortsHealthy()
{
    int32_t g = Profile.GoRxOnlyOnComFail;
    if (g < 0)
        return 1;
    for (int p = 1; p <= kMaxPorts; ++p) {
        if (Ports.InUse[p] == 0 || Ports.CommsFail[p] == 0)
            continue;
        // A positive setting names a COM port, not a Com_n section.
        if (g == 0 || Profile.Ports[p].Port == g)
            return 0;
    }
    return 1;
}

LRESULT HandleLinkMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kMsgVekHere:
        TakeVekWindow(wParam);
        return 0;
    case kMsgWorkStation:
        return Link.WorkStation;
    case kMsgRequestTxRx:
        return IsOwnDevice(lParam) ? RequestTxRx() : 0;
    case kMsgPortsOk: {
        LRESULT answer;
        if (IsOwnDevice(lParam) && ForwardToExternal(kMsgPortsOk, wParam, lParam, &answer))
            return answer;
        return AllPortsHealthy();
    }
    case kMsgExternalQuery: {
        LRESULT answer = 0;
        if (IsOwnDevice(lParam))
            ForwardToExternal(kMsgExternalQuery, wParam, lParam, &answer);
        return answer;
    }
    case kMsgRxOnly: {
        ShowTxRxMode(1);
        Link.TxRxMode = 1;  // VEK asked for it, so VEK is not told
        LRESULT ignored;
        ForwardToExternal(kMsgRxOnly, Shell.MainWindow, static_cast<LPARAM>(Shell.DriverId),
                          &ignored);
        return 0;
    }
    case kMsgQueryMode:
        return Link.TxRxMode;
    case kMsgSetMode:
        return SetTxRxMode(static_cast<int32_t>(wParam));
    default:
        return 0;
    }
}

void LinkReset() { Link = LinkState{}; }
