// The About box: name, version and build time.
#pragma once
#include "platform/winapi.h"

enum : int { IDC_ABOUT_VERSION = 1998, IDC_ABOUT_BUILD = 1999 };

// Shows the box (headless: initialised, then closed as if Ok was pressed).
// With the window the box stays up, blocking the main window, while the
// driver's loop goes on; another About command meanwhile changes nothing.
void ShowAboutBox();
LRESULT AboutDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The box's window while it is shown, else its last one (tests).
HWND AboutBoxWindow();
// The view installs a runner that shows the box and returns; the box's Ok
// sends it WM_COMMAND.
using AboutRunner = void (*)(HWND box);
void SetAboutRunner(AboutRunner runner);
