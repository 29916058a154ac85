#include "platform/cells.h"

#include "platform/dialog.h"

DialogState Dlg;

namespace {

SelectedDestView DrawSelected = nullptr;

}  // namespace

void SetDialogText(int id, const char *text)
{
    if (Dlg.Dialog != 0)
        SetDlgItemText(Dlg.Dialog, id, text);
}

void ShowSelectedDest()
{
    if (DrawSelected)
        DrawSelected();
}

void SetSelectedDestView(SelectedDestView view) { DrawSelected = view; }
