// The main window's menu and its commands.
#pragma once

enum : int {
    kMenuExit = 901,
    kMenuClearErrors = 905,
    kMenuKeyboard = 911,
    kMenuSourceBox = 912,
    kMenuDestBox = 913,
    kMenuTake = 914,
    kMenuLock = 915,
    kMenuAbout = 991,
};

// Defines the menu bar's items, all enabled and unchecked.
void BuildMainMenu();
// Runs a menu command (WM_COMMAND of the main window).
void RunMenuCommand(int id);
