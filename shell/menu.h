// The main window's menu and its commands.
#pragma once
#include "ui/menuids.h"

// Defines the menu bar's items, all enabled and unchecked.
void BuildMainMenu();
// Runs a menu command (WM_COMMAND of the main window).
void RunMenuCommand(int id);
