// In-process stand-ins for the programs the link talks to: VEK, an attached
// external driver and a control window, each a local window that records
// what it receives.  Shared by the attach, command and revertive tests.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "platform/debug.h"
#include "shell/shell.h"
#include "tests/support/modules.h"
#include "ui/maindlg.h"

namespace peers {

struct Received {
    HWND window;
    UINT code;
    WPARAM wParam;
    LPARAM lParam;
    std::string text;  // the block of a text-form message
};

inline std::vector<Received> Inbox;
inline std::vector<std::string> DebugLines;
inline HWND Vek = 0;
inline HWND External = 0;
inline HWND Control = 0;
inline LRESULT VekRegisterAnswer = 0;   // result of 2193
inline LRESULT VekWorkStation = 3;      // result of 2119
inline LRESULT ExternalAnswer = 0;      // result of 2179, 2180, 2181

// The codes whose lParam is a text when they reach a local window.
inline bool IsTextCode(UINT code)
{
    return code == 2121 || code == 2123 || code == 2187 || code == 2188 || code == 2740 ||
           code == 2776;
}

inline LRESULT PeerProc(HWND window, UINT code, WPARAM wParam, LPARAM lParam)
{
    std::string text;
    if (IsTextCode(code) && lParam != 0)
        text = reinterpret_cast<const char *>(lParam);
    Inbox.push_back({window, code, wParam, lParam, text});
    if (window == Vek && code == 2119)
        return VekWorkStation;
    if (window == Vek && code == 2193)
        return VekRegisterAnswer;
    if (window == External && (code == 2179 || code == 2180 || code == 2181))
        return ExternalAnswer;
    return 0;
}

// The driver's main window as far as the link is concerned.
inline LRESULT MainProc(HWND, UINT code, WPARAM wParam, LPARAM lParam)
{
    return HandleLinkMessage(code, wParam, lParam);
}

inline LRESULT DialogProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

inline void CaptureDebug(const char *line)
{
    DebugLines.push_back(DebugText(line));
}

// What one window received, in order.
inline std::vector<Received> To(HWND window, UINT code = 0)
{
    std::vector<Received> out;
    for (const Received &r : Inbox)
        if (r.window == window && (code == 0 || r.code == code))
            out.push_back(r);
    return out;
}

inline std::vector<std::string> Texts(HWND window, UINT code = 0)
{
    std::vector<std::string> out;
    for (const Received &r : To(window, code))
        out.push_back(r.text);
    return out;
}

inline bool Logged(const std::string &line)
{
    for (const std::string &l : DebugLines)
        if (l == line)
            return true;
    return false;
}

// Device 7, 64 sources and 64 destinations, registered in Tx/Rx mode,
// commands enabled and every workstation allowed; VEK attached, nothing
// else.  Router routes are seen through their "ROUTING" debug lines.
struct LinkTest : ::testing::Test {
    void SetUp() override
    {
        ResetModules();
        Inbox.clear();
        DebugLines.clear();
        VekRegisterAnswer = 0;
        VekWorkStation = 3;
        ExternalAnswer = 0;

        Profile.DebugMode = 1;
        SetDebugSink(CaptureDebug);
        Profile.DatabaseSize_0 = 64;
        Profile.DatabaseSize_1 = 64;
        Profile.SourceToDest = 1;
        Profile.DestToSource = 0;
        Profile.ReAssert = 1;
        Profile.RevertiveMode = kRevertiveRouter;
        Profile.DriverMode = kDriverInternal;
        Profile.GoRxOnlyOnComFail = -1;

        Shell.DriverId = 7;
        Shell.MainWindow = CreateWindowProc(MainProc, false);
        Dlg.Dialog = CreateWindowProc(DialogProc, false);
        DefineControl(Dlg.Dialog, IDC_INTERFACE, ControlKind::StatusButton, "");
        DefineControl(Dlg.Dialog, IDC_TXCOUNT, ControlKind::Static, "");
        DefineControl(Dlg.Dialog, IDC_RXCOUNT, ControlKind::Static, "");
        Vek = CreateWindowProc(PeerProc, false);
        External = CreateWindowProc(PeerProc, false);
        Control = CreateWindowProc(PeerProc, false);
        Link.VekWindow = Vek;
        Link.WorkStation = 3;
        Link.TxRxMode = 2;
        Commands.CommandsEnabled = 1;
        for (uint8_t &allowed : Commands.WorkstationAccess)
            allowed = 1;
    }
    void TearDown() override
    {
        SetDebugSink(nullptr);
        LoopReset();
    }
};

}  // namespace peers
