#include "ui/about.h"

#include <cstdio>

#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/shellstate.h"

namespace {
HWND Box = 0;
AboutRunner Runner = nullptr;
bool Ended = true;
}  // namespace

LRESULT AboutDialogProc(HWND window, UINT message, WPARAM, LPARAM)
{
    if (message == WM_INITDIALOG) {
        char text[64];
        std::snprintf(text, sizeof text, "%s - %s", __DATE__, __TIME__);
        SetDlgItemText(window, IDC_ABOUT_BUILD, text);
        std::snprintf(text, sizeof text, "Version %s", kVersionText);
        SetDlgItemText(window, IDC_ABOUT_VERSION, text);
        return 1;
    }
    if (message == WM_COMMAND) {
        Ended = true;
        return 1;
    }
    return 0;
}

void ShowAboutBox()
{
    // The driver's messages are served while the box is up, so a second
    // About command can arrive meanwhile: the open box already shows it.
    if (Box != 0 && !Ended)
        return;
    if (Box != 0)
        DestroyWindowProc(Box);
    Box = CreateWindowProc(AboutDialogProc, false);
    SetWindowText(Box, "About");
    DefineControl(Box, 0, ControlKind::Static, "WEX");
    Ended = false;
    SendMessage(Box, WM_INITDIALOG, 0, 0);
    if (Runner)
        Runner(Box);  // returns at once; Ok sends the box its WM_COMMAND
    else
        SendMessage(Box, WM_COMMAND, 1, 0);  // headless: as if Ok was pressed
}

HWND AboutBoxWindow() { return Box; }
void SetAboutRunner(AboutRunner runner) { Runner = runner; }
