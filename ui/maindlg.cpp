#include "ui/maindlg.h"
// STUB
DialogState Dlg;
void CreateMainDialog() {}
LRESULT MainDialogProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
void ShowSelectedDest() {}
void FillSourceList() {}
void FillDestList() {}
void TakeRoute() {}
void ToggleLock() {}
void StopDialogTimers() {}
void DialogReset() { Dlg = DialogState{}; }
void SetDialogText(int, const char *) {}
