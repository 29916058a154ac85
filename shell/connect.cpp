#include "shell/connect.h"

#include "config/profile.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "ui/maindlg.h"

void ConnectLayers()
{
    SetDebugModeSource(&Profile.DebugMode);
    SetSelectedDestView(DrawSelectedDest);
}
