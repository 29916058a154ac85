// The main dialog: counters, status grid, status buttons and the keyboard
// router control panel; also the five dialog timers.
#pragma once
#include "platform/cells.h"
#include "platform/winapi.h"
#include <cstdint>


void CreateMainDialog();
LRESULT MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Draws the selected destination's source and lock; registered at start-up
// as the window of ShowSelectedDest.
void DrawSelectedDest();
void FillSourceList();
void FillDestList();
void TakeRoute();
void ToggleLock();
void StopDialogTimers();
void DialogReset();

