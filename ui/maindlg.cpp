// The main dialog: the status grid and counters, the status buttons, the
// keyboard router control panel, and the five timers that run on it.
#include "ui/maindlg.h"

#include <cstdio>
#include <cstring>

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/zoltif.h"
#include "platform/debug.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/shellstate.h"
#include "protocols/protocol.h"
#include "protocols/startup.h"
#include "routing/statefiles.h"
#include "routing/tables.h"
#include "serial/ports.h"

namespace {

enum : uintptr_t { kPollTimer = 1, kSaveTimer = 2, kRevertiveTimer = 3, kForwardTimer = 4, kBtsTimer = 5 };

void DefineGridRow(int p)
{
    char n[4];
    std::snprintf(n, sizeof n, "%d", p);
    DefineControl(Dlg.Dialog, 1560 + p, ControlKind::Static, n);  // row label
    DefineControl(Dlg.Dialog, IDC_PORT + p, ControlKind::Static, "- -");
    DefineControl(Dlg.Dialog, IDC_STATUS + p, ControlKind::Static, "Unused");
    DefineControl(Dlg.Dialog, IDC_MIN + p, ControlKind::Static, "");
    DefineControl(Dlg.Dialog, IDC_MAX + p, ControlKind::Static, "");
    DefineControl(Dlg.Dialog, IDC_TALLY + p, ControlKind::Static, "");
    DefineControl(Dlg.Dialog, IDC_ERRORS + p, ControlKind::Static, "");
}

// The controls of the dialog template with their initial texts.
void DefineControls()
{
    DefineControl(Dlg.Dialog, IDC_TXCOUNT, ControlKind::Static, "00000000");
    DefineControl(Dlg.Dialog, IDC_RXCOUNT, ControlKind::Static, "00000000");
    for (int p = 1; p <= kMaxPorts; ++p)
        DefineGridRow(p);
    DefineControl(Dlg.Dialog, IDC_SOURCES, ControlKind::ListBox, "");
    DefineControl(Dlg.Dialog, IDC_DESTS, ControlKind::ListBox, "");
    DefineControl(Dlg.Dialog, IDC_TAKE, ControlKind::StatusButton, "Take");
    DefineControl(Dlg.Dialog, IDC_LOCK, ControlKind::StatusButton, " ");
    for (int id : {IDC_DRIVER, IDC_CONTROL, IDC_KEYBOARD, IDC_INTERFACE})
        DefineControl(Dlg.Dialog, id, ControlKind::StatusButton, "- -");
}

void ShowGrid()
{
    char text[16];
    for (int p = 1; p <= kMaxPorts; ++p) {
        const PortConfig &pc = Profile.Ports[p];
        std::snprintf(text, sizeof text, "%d", pc.Port);
        SetDialogText(IDC_PORT + p, text);
        if (!Ports.InUse[p])
            continue;
        SetDialogText(IDC_STATUS + p, "Ok");
        std::snprintf(text, sizeof text, "%04d", pc.MinDest);
        SetDialogText(IDC_MIN + p, text);
        std::snprintf(text, sizeof text, "%04d", pc.MaxDest);
        SetDialogText(IDC_MAX + p, text);
        SetDialogText(IDC_ERRORS + p, "0");
    }
}

void SetButton(int id, const char *code, const char *label)
{
    SetDialogText(id, code);
    SetDialogText(id, label);
}

void InitMainDialog()
{
    SetMinimised(Shell.MainWindow, true);
    ShowGrid();
    ListSetColumnWidth(Dlg.Dialog, IDC_SOURCES, Profile.NameLength * 9);
    ListSetColumnWidth(Dlg.Dialog, IDC_DESTS, Profile.NameLength * 9);
    FillSourceList();
    FillDestList();
    LoadIndexFile();
    Dlg.SelectedDest = 1;
    DrawSelectedDest();
    Shell.KeyboardEnabled = 0;
    ProtocolDialogStart();
    if (Profile.DriverMode == kDriverExternal)
        SetButton(IDC_DRIVER, "/__9B0_", "External");
    else
        SetButton(IDC_DRIVER, "/__2B0_", "Internal");
    SetButton(IDC_CONTROL, "/__2B0_", "Internal");
    SetButton(IDC_KEYBOARD, "/__2B0_", "Disabled");
    StartPolling();
    if (Profile.DriverMode == kDriverExternal)
        Commands.CommandsEnabled = 1;
    if (Profile.RevertiveDelay != 0)
        SetTimer(Dlg.Dialog, kRevertiveTimer, static_cast<uint32_t>(Profile.RevertiveDelay));
    SetTimer(Dlg.Dialog, kSaveTimer, 60000);
    ProtocolDialogStartLinks();
}

// One name from VEK.  A name that VEK did not fill in shows the number.
void FillList(int id, uint16_t database, int32_t count)
{
    ListReset(Dlg.Dialog, id);
    for (int32_t i = 1; i <= count; ++i) {
        uint8_t buffer[256] = {};
        uint16_t head[3] = {static_cast<uint16_t>(Shell.DriverId), database, static_cast<uint16_t>(i)};
        for (int k = 0; k < 3; ++k) {
            buffer[2 * k] = static_cast<uint8_t>(head[k] & 0xFF);
            buffer[2 * k + 1] = static_cast<uint8_t>(head[k] >> 8);
        }
        uint8_t sent[6];
        std::memcpy(sent, buffer, 6);
        ZOLT32TxMessage(Link.VekWindow, 2164, 0, reinterpret_cast<LPARAM>(buffer), 1, 256);
        buffer[255] = 0;
        char name[32];
        const char *text = reinterpret_cast<const char *>(buffer);
        if (std::memcmp(buffer, sent, 6) == 0) {
            std::snprintf(name, sizeof name, "%03d", i);
            text = name;
        }
        ListAddString(Dlg.Dialog, id, text);
    }
}

void OnSourceSelect()
{
    int sel = ListGetSel(Dlg.Dialog, IDC_SOURCES);
    Dlg.SelectedSource = sel < 0 ? -1 : sel + 1;
}

void OnDestSelect()
{
    int sel = ListGetSel(Dlg.Dialog, IDC_DESTS);
    if (sel < 0) {
        Dlg.SelectedDest = -1;
        return;
    }
    Dlg.SelectedDest = sel + 1;
    Dlg.SelectedSource = Routing.TallyTable[Dlg.SelectedDest];
    DrawSelectedDest();
}

void OnTimer(uintptr_t id)
{
    switch (id) {
    case kPollTimer: PollTick(); break;
    case kSaveTimer: PeriodicSaveTick(); break;
    case kRevertiveTimer: ApplyPendingTallies(); break;
    case kForwardTimer: DrainForwardBuffer(); break;
    case kBtsTimer: ProtocolDialogRetryTick(); break;
    default: break;
    }
}

}  // namespace

void CreateMainDialog()
{
    DebugPrint("Creating Dialog");
    Dlg.Dialog = CreateWindowProc(MainDialogProc, false);
    if (Dlg.Dialog == 0) {
        DebugPrint("Can't create dialog box");
        return;
    }
    DefineControls();
    SendMessage(Dlg.Dialog, WM_INITDIALOG, 0, 0);
}

LRESULT MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message & 0xFFFF) {
    case WM_INITDIALOG:
        Dlg.Dialog = window;
        InitMainDialog();
        return 1;
    case WM_MOVE:
        return 1;  // the dialog always covers the main window's client area
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SOURCES: OnSourceSelect(); break;
        case IDC_DESTS: OnDestSelect(); break;
        case IDC_TAKE: TakeRoute(); break;
        case IDC_LOCK: ToggleLock(); break;
        default: break;
        }
        return 1;
    case WM_SYSCOMMAND:
        SendMessage(Shell.MainWindow, message, LOWORD(wParam), lParam);
        return 1;
    case WM_TIMER:
        OnTimer(wParam);
        return 1;
    default:
        return 0;
    }
}

void FillSourceList() { FillList(IDC_SOURCES, 0, Profile.DatabaseSize_0); }
void FillDestList() { FillList(IDC_DESTS, 1, Profile.DatabaseSize_1); }

void DrawSelectedDest()
{
    if (!IsValidDest(Dlg.SelectedDest))
        return;
    int32_t s = Routing.TallyTable[Dlg.SelectedDest];
    ListSetSel(Dlg.Dialog, IDC_SOURCES, s == -1 ? -1 : s - 1);
    bool locked = Routing.LockTable[Dlg.SelectedDest] != 0;
    SetDialogText(IDC_LOCK, locked ? "Locked" : "Unlocked");
    SetDialogText(IDC_LOCK, locked ? "/1B____" : "/2B____");
    if (Dlg.Dialog != 0)
        EnableDlgItem(Dlg.Dialog, IDC_TAKE, !locked);
}

void TakeRoute()
{
    if (Dlg.SelectedSource < 1 || Dlg.SelectedSource > Profile.DatabaseSize_0)
        return;
    if (Dlg.SelectedDest < 1 || Dlg.SelectedDest > Profile.DatabaseSize_1)
        return;
    char text[64];
    std::snprintf(text, sizeof text, "RC %d %d %d ',---' 0", Shell.DriverId, Dlg.SelectedSource,
                  Dlg.SelectedDest);
    DebugPrint(text);
    if (Shell.ControlWindow != 0)
        ZOLT32TxMessage(Shell.ControlWindow, 2776, 0, reinterpret_cast<LPARAM>(text), 1,
                        static_cast<uint32_t>(std::strlen(text) + 1));
    else
        ReceiveCommand(text);
}

void ToggleLock()
{
    MessageBeep();
    if (!IsValidDest(Dlg.SelectedDest))
        return;
    char text[64];
    int lock = Routing.LockTable[Dlg.SelectedDest] != 0 ? 0 : 1;
    std::snprintf(text, sizeof text, "RL %d %d %d %d 0", Shell.DriverId, Dlg.SelectedDest,
                  Dlg.SelectedDest, lock);
    InterpretCommand(text);
    DrawSelectedDest();
}

void StopDialogTimers()
{
    if (Dlg.Dialog == 0)
        return;
    if (Profile.Simulation == 0)
        KillTimer(Dlg.Dialog, kPollTimer);
    if (Profile.RevertiveDelay != 0)
        KillTimer(Dlg.Dialog, kRevertiveTimer);
    if (Profile.FwdBuffDelay != 0)
        KillTimer(Dlg.Dialog, kForwardTimer);
    KillTimer(Dlg.Dialog, kSaveTimer);
}

void DialogReset() { Dlg = DialogState{}; }
