// The main window's menu items: the shell builds the menu and runs its
// commands, the view draws it.
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
