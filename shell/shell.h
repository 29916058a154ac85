// The program shell: driver Id, main window, the fixed start-up and
// shutdown orders, and the main window's message switchboard.
#pragma once
#include "platform/shellstate.h"
#include "platform/winapi.h"
#include <cstddef>
#include <cstdint>

// Reads the Id from the command-line text as the driver does (leading number).
int32_t ReadDriverId(const char *commandLine);
// Creates the hidden main window and runs StartDriver; returns 1 on success.
int CreateMainWindow();
// The fixed start-up order.
void StartDriver();
// The fixed shutdown order; ends with the quit message.
void ShutdownDriver();
// Abandons start-up: runs ShutdownDriver and marks a failed exit status.
void AbandonStartup();
// The main window's procedure.
LRESULT MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// "%d" of TallyTable[destination] into buffer for 0 < destination < 4096.
void TallyText(int32_t destination, char *buffer, size_t size);
// Resets the shell's state (tests).
void ShellReset();
