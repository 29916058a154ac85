#include "shell/shell.h"
// STUB: replaced by the shell's implementation.
ShellState Shell;
int32_t ReadDriverId(const char *) { return 0; }
int CreateMainWindow() { return 0; }
void StartDriver() {}
void ShutdownDriver() {}
void AbandonStartup() {}
LRESULT MainWndProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
void TallyText(int32_t, char *, size_t) {}
void ShellReset() { Shell = ShellState{}; }
