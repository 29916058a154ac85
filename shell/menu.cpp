// Menu commands of the main window: exit, clear errors, the keyboard
// router control and its four commands, and the About box.
#include "shell/menu.h"

#include "config/profile.h"
#include "platform/dialog.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "shell/shell.h"
#include "ui/about.h"
#include "ui/maindlg.h"

void BuildMainMenu()
{
    MenuDefineItem(kMenuExit, "E&xit");
    MenuDefineItem(kMenuClearErrors, "&Clear Errors");
    MenuDefineItem(kMenuKeyboard, "&Enable Keyboard Router Control");
    MenuDefineItem(kMenuSourceBox, "&Source Box");
    MenuDefineItem(kMenuDestBox, "&Dest Box");
    MenuDefineItem(kMenuTake, "&Take");
    MenuDefineItem(kMenuLock, "&Lock");
    MenuDefineItem(kMenuAbout, "&About");
}

namespace {

void FocusList(int id)
{
    SetFocusControl(Dlg.Dialog, id);
    if (ListGetSel(Dlg.Dialog, id) < 0)
        ListSetSel(Dlg.Dialog, id, 0);
}

void ClearErrors()
{
    for (int p = 1; p <= kMaxPorts; ++p) {
        Ports.ErrorCount[p] = 0;
        if (Ports.InUse[p])
            SetDialogText(IDC_ERRORS + p, "0");
    }
}

void ToggleKeyboard()
{
    bool on = Shell.KeyboardEnabled == 0;
    Shell.KeyboardEnabled = on ? 1 : 0;
    CheckMenuItem(kMenuKeyboard, on);
    for (int id = kMenuSourceBox; id <= kMenuLock; ++id)
        EnableMenuItem(id, on);
    DrawMenuBar();
    SetDialogText(IDC_KEYBOARD, on ? "/__1B__" : "/__2B__");
    SetDialogText(IDC_KEYBOARD, on ? "Enabled" : "Disabled");
    FocusList(IDC_DESTS);
}

}  // namespace

void RunMenuCommand(int id)
{
    switch (id) {
    case kMenuExit:
        ShutdownDriver();
        break;
    case kMenuClearErrors:
        ClearErrors();
        break;
    case kMenuKeyboard:
        ToggleKeyboard();
        break;
    case kMenuSourceBox:
        FocusList(IDC_SOURCES);
        break;
    case kMenuDestBox:
        FocusList(IDC_DESTS);
        break;
    case kMenuTake:
        if (!IsValidDest(Dlg.SelectedDest) || Routing.LockTable[Dlg.SelectedDest] == 0)
            TakeRoute();
        break;
    case kMenuLock:
        ToggleLock();
        break;
    case kMenuAbout:
        ShowAboutBox();
        break;
    default:
        break;
    }
}
