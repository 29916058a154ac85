// The About box: name, version and build time.
#pragma once
#include "platform/winapi.h"

enum : int { IDC_ABOUT_VERSION = 1998, IDC_ABOUT_BUILD = 1999 };

// Shows the box modally (headless: initialised, then closed as if Ok was pressed).
void ShowAboutBox();
LRESULT AboutDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The box's window while it is shown, else its last one (tests).
HWND AboutBoxWindow();
// The view installs a modal runner; it returns when the box is closed.
using AboutRunner = void (*)(HWND box);
void SetAboutRunner(AboutRunner runner);
