#include "platform/dialog.h"

#include "platform/daemon.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace {

struct MenuItem {
    std::string text;
    bool enabled = true;
    bool checked = false;
};

struct UiModel {
    std::map<std::pair<HWND, int>, ControlModel> controls;
    std::map<HWND, std::string> titles;
    std::map<HWND, bool> minimised;
    std::map<int, MenuItem> menu;
    int focus = 0;
    uint64_t menuRedraws = 0;
    uint64_t generation = 0;
    uint64_t beeps = 0;
    MessageBoxHook boxHook = nullptr;
    std::vector<std::string> boxes;
};

UiModel M;
int StopFd = -1;

ControlModel &Control(HWND dialog, int id)
{
    ++M.generation;
    return M.controls[{dialog, id}];
}

const ControlModel *Find(HWND dialog, int id)
{
    auto it = M.controls.find({dialog, id});
    return it == M.controls.end() ? nullptr : &it->second;
}

}  // namespace

void DefineControl(HWND dialog, int id, ControlKind kind, const char *initialText)
{
    ControlModel &c = Control(dialog, id);
    c = ControlModel{};
    c.kind = kind;
    c.text = initialText ? initialText : "";
}

void SetDlgItemText(HWND dialog, int id, const char *text)
{
    ControlModel &c = Control(dialog, id);
    std::string t = text ? text : "";
    if (c.kind == ControlKind::StatusButton && !t.empty() && t[0] == '/')
        c.captionCode = t;
    else
        c.text = t;
}

std::string GetDlgItemText(HWND dialog, int id)
{
    const ControlModel *c = Find(dialog, id);
    return c ? c->text : std::string();
}

const ControlModel *GetControl(HWND dialog, int id) { return Find(dialog, id); }

void EnableDlgItem(HWND dialog, int id, bool enabled) { Control(dialog, id).enabled = enabled; }

bool IsDlgItemEnabled(HWND dialog, int id)
{
    const ControlModel *c = Find(dialog, id);
    return c ? c->enabled : false;
}

void ListReset(HWND dialog, int id)
{
    ControlModel &c = Control(dialog, id);
    c.items.clear();
    c.selection = -1;
}

void ListAddString(HWND dialog, int id, const char *text)
{
    Control(dialog, id).items.emplace_back(text ? text : "");
}

int ListGetCount(HWND dialog, int id)
{
    const ControlModel *c = Find(dialog, id);
    return c ? static_cast<int>(c->items.size()) : 0;
}

int ListGetSel(HWND dialog, int id)
{
    const ControlModel *c = Find(dialog, id);
    return c ? c->selection : -1;
}

void ListSetSel(HWND dialog, int id, int index)
{
    ControlModel &c = Control(dialog, id);
    c.selection = (index >= 0 && index < static_cast<int>(c.items.size())) ? index : -1;
}

void ListSetColumnWidth(HWND dialog, int id, int pixels) { Control(dialog, id).columnWidth = pixels; }

void SetFocusControl(HWND, int id)
{
    ++M.generation;
    M.focus = id;
}

int FocusedControl() { return M.focus; }

void SetWindowText(HWND window, const char *text)
{
    ++M.generation;
    M.titles[window] = text ? text : "";
}

std::string GetWindowText(HWND window)
{
    auto it = M.titles.find(window);
    return it == M.titles.end() ? std::string() : it->second;
}

void SetMinimised(HWND window, bool minimised)
{
    ++M.generation;
    M.minimised[window] = minimised;
}

bool IsIconic(HWND window)
{
    auto it = M.minimised.find(window);
    return it != M.minimised.end() && it->second;
}

void MenuDefineItem(int id, const char *text)
{
    ++M.generation;
    M.menu[id] = MenuItem{text ? text : "", true, false};
}

void EnableMenuItem(int id, bool enabled)
{
    ++M.generation;
    M.menu[id].enabled = enabled;
}

void CheckMenuItem(int id, bool checked)
{
    ++M.generation;
    M.menu[id].checked = checked;
}

bool MenuItemEnabled(int id)
{
    auto it = M.menu.find(id);
    return it != M.menu.end() && it->second.enabled;
}

bool MenuItemChecked(int id)
{
    auto it = M.menu.find(id);
    return it != M.menu.end() && it->second.checked;
}

void DrawMenuBar()
{
    ++M.generation;
    ++M.menuRedraws;
}

uint64_t MenuRedraws() { return M.menuRedraws; }
uint64_t UiModelGeneration() { return M.generation; }

void MessageBox(HWND owner, const char *text, const char *caption)
{
    M.boxes.emplace_back(text ? text : "");
    if (M.boxHook) {
        M.boxHook(owner, text, caption);
        return;
    }
    // A refusal is the control system's answer rather than a fault here:
    // the journal files it as a warning, every other box as an error.
    bool refusal = text && std::strncmp(text, "Request refused", 15) == 0;
    std::fprintf(stderr, "%s%s: %s\n", JournalPrefix(refusal ? kLogWarning : kLogError),
                 caption ? caption : "", text ? text : "");
    std::fflush(stderr);
}

void SetMessageBoxHook(MessageBoxHook hook) { M.boxHook = hook; }
void SetStopDescriptor(int fd) { StopFd = fd; }
int StopDescriptor() { return StopFd; }
const std::vector<std::string> &MessageBoxLog() { return M.boxes; }

void MessageBeep() { ++M.beeps; }
uint64_t BeepCount() { return M.beeps; }

void UiModelReset()
{
    MessageBoxHook hook = M.boxHook;
    M = UiModel{};
    M.boxHook = hook;
}
