// Dialog, menu and window models.  They hold the state a real window would
// show (texts, button captions, list boxes, menu items, titles) so that the
// driver behaves the same with or without a display; the operator window's
// view mirrors them, and tests read them back.
#pragma once
#include "platform/winapi.h"
#include <cstdint>
#include <string>
#include <vector>

// What a control is; decides how SetDlgItemText treats a text.
enum class ControlKind { Static, StatusButton, ListBox, PushButton };

struct ControlModel {
    ControlKind kind = ControlKind::Static;
    std::string text;         // static text, or a status button's label
    std::string captionCode;  // status buttons: the last "/..." code given
    bool enabled = true;
    std::vector<std::string> items;  // list boxes
    int selection = -1;              // list boxes: -1 none
    int columnWidth = 0;             // list boxes, in pixels
};

// Declares a control of a dialog with its initial text.
void DefineControl(HWND dialog, int id, ControlKind kind, const char *initialText);
// Sets a control's text.  On a status button a text beginning with "/" is a
// caption code (appearance) and anything else the label, so the two texts
// may come in either order.  Unknown controls are created as statics.
void SetDlgItemText(HWND dialog, int id, const char *text);
std::string GetDlgItemText(HWND dialog, int id);
const ControlModel *GetControl(HWND dialog, int id);
void EnableDlgItem(HWND dialog, int id, bool enabled);
bool IsDlgItemEnabled(HWND dialog, int id);

// List boxes.
void ListReset(HWND dialog, int id);
void ListAddString(HWND dialog, int id, const char *text);
int ListGetCount(HWND dialog, int id);
int ListGetSel(HWND dialog, int id);
void ListSetSel(HWND dialog, int id, int index);  // -1 clears the selection
void ListSetColumnWidth(HWND dialog, int id, int pixels);

// Keyboard focus: the control that has it (0 none).
void SetFocusControl(HWND dialog, int id);
int FocusedControl();

// Window titles and the minimised state.
void SetWindowText(HWND window, const char *text);
std::string GetWindowText(HWND window);
void SetMinimised(HWND window, bool minimised);
bool IsIconic(HWND window);

// The menu of a window: items by id, greyed and checked.
void MenuDefineItem(int id, const char *text);
void EnableMenuItem(int id, bool enabled);
void CheckMenuItem(int id, bool checked);
bool MenuItemEnabled(int id);
bool MenuItemChecked(int id);
void DrawMenuBar();
uint64_t MenuRedraws();

// A change counter the view polls to know when to refresh.
uint64_t UiModelGeneration();

// Message box: with a view a modal box, headless one line on standard
// error "! Error !: <text>".  Returns when OK was pressed.
void MessageBox(HWND owner, const char *text, const char *caption);
// The view installs its own box; tests may install a recorder.
using MessageBoxHook = void (*)(HWND owner, const char *text, const char *caption);
void SetMessageBoxHook(MessageBoxHook hook);
// A descriptor that turns readable when the program is asked to stop (the
// signal descriptor); a box shown in the window closes when it does, so a
// stop request is honoured even while a box waits for OK.  -1: none.
void SetStopDescriptor(int fd);
int StopDescriptor();
// Every box shown so far (tests).
const std::vector<std::string> &MessageBoxLog();

// The default beep (counted; the view may sound it).
void MessageBeep();
uint64_t BeepCount();

// Clears every model (tests).
void UiModelReset();
