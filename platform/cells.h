// The main dialog's cells as every layer sees them: the control ids, the
// dialog handle and selection, and the writes that reach the window through
// the dialog model.  The window itself (ui/maindlg) registers how the
// selected destination is drawn; the layers below only say when.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

// Control ids of the main dialog.
enum : int {
    IDC_SOURCES = 1001, IDC_DESTS = 1002, IDC_TAKE = 1003, IDC_LOCK = 1004,
    IDC_KEYBOARD = 1005, IDC_DRIVER = 1007, IDC_INTERFACE = 1008, IDC_CONTROL = 1009,
    IDC_TXCOUNT = 1101, IDC_RXCOUNT = 1102,
    IDC_STATUS = 1500, IDC_MIN = 1510, IDC_MAX = 1520, IDC_TALLY = 1530, IDC_ERRORS = 1540,
    IDC_PORT = 1550,
};

struct DialogState {
    HWND Dialog = 0;
    int32_t SelectedSource = 0;
    int32_t SelectedDest = 0;
};
extern DialogState Dlg;

// Sets a control of the main dialog (no-op without a dialog).
void SetDialogText(int id, const char *text);
// Shows the selected destination's source and lock again, through the view
// registered with SetSelectedDestView (nothing without one).
void ShowSelectedDest();
using SelectedDestView = void (*)();
void SetSelectedDestView(SelectedDestView view);
