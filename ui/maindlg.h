// The main dialog: counters, status grid, status buttons and the keyboard
// router control panel; also the five dialog timers.
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

void CreateMainDialog();
LRESULT MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ShowSelectedDest();
void FillSourceList();
void FillDestList();
void TakeRoute();
void ToggleLock();
void StopDialogTimers();
void DialogReset();
// Sets a control of the main dialog (no-op without a dialog).
void SetDialogText(int id, const char *text);
