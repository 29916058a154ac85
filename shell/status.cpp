#include "shell/status.h"

#include <cstdio>

#include "config/profile.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "protocols/protocol.h"
#include "serial/ports.h"
#include "ui/maindlg.h"

namespace {

LRESULT StatusProc(HWND, UINT message, WPARAM, LPARAM)
{
    if (message == WM_TIMER) {
        std::printf("%s\n", StatusLine().c_str());
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

std::string StatusLine()
{
    char part[96];
    std::string line;
    if (Proto.SweepCounter > 0)
        std::snprintf(part, sizeof part, "sweep %d/%d", Proto.SweepCounter - 1, Profile.DatabaseSize_1);
    else
        std::snprintf(part, sizeof part, "polling");
    line += part;
    for (int p = 1; p <= kMaxPorts; ++p) {
        if (!Ports.InUse[p])
            continue;
        std::snprintf(part, sizeof part, " | port %d %s err %u", p,
                      GetDlgItemText(Dlg.Dialog, IDC_STATUS + p).c_str(), Ports.ErrorCount[p]);
        line += part;
    }
    std::snprintf(part, sizeof part, " | Tx %s Rx %s | %s", GetDlgItemText(Dlg.Dialog, IDC_TXCOUNT).c_str(),
                  GetDlgItemText(Dlg.Dialog, IDC_RXCOUNT).c_str(),
                  GetDlgItemText(Dlg.Dialog, IDC_INTERFACE).c_str());
    line += part;
    return line;
}

void StartStatusLine(int seconds)
{
    if (seconds <= 0)
        return;
    HWND w = CreateWindowProc(StatusProc, false);
    SetTimer(w, 1, static_cast<uint32_t>(seconds) * 1000u);
}
