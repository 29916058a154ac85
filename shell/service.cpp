#include "shell/service.h"

#include <string>

#include "platform/daemon.h"
#include "platform/loop.h"
#include "shell/status.h"

namespace {

enum : uintptr_t { kTimerWatchdog = 1, kTimerStatus = 2 };
constexpr uint32_t kStatusPeriodMs = 1000;

struct ServiceState {
    HWND Window = 0;         // carries the two timers; not on the bus
    std::string LastStatus;  // the STATUS= text the manager has
};
ServiceState Service;

void SendStatusIfChanged()
{
    std::string line = StatusLine();
    if (line == Service.LastStatus)
        return;
    Service.LastStatus = line;
    DaemonNotify(("STATUS=" + line).c_str());
}

LRESULT ServiceProc(HWND, UINT message, WPARAM wParam, LPARAM)
{
    if (message != WM_TIMER)
        return 0;
    if (wParam == kTimerWatchdog)
        DaemonNotify("WATCHDOG=1");
    else if (wParam == kTimerStatus)
        SendStatusIfChanged();
    return 0;
}

bool EnsureWindow()
{
    if (Service.Window == 0)
        Service.Window = CreateWindowProc(ServiceProc, false);
    return Service.Window != 0;
}

}  // namespace

void ServiceStartWatchdog()
{
    uint32_t interval = DaemonWatchdogIntervalMs();
    if (interval != 0 && EnsureWindow())
        SetTimer(Service.Window, kTimerWatchdog, interval);
}

void ServiceReady()
{
    if (!DaemonNotifying() || !EnsureWindow())
        return;
    Service.LastStatus = StatusLine();
    DaemonNotify(("READY=1\nSTATUS=" + Service.LastStatus).c_str());
    // A timer rather than a hook in every counter: the line is compared
    // once a second and sent only when it differs.
    SetTimer(Service.Window, kTimerStatus, kStatusPeriodMs);
}

void ServiceStopping()
{
    if (!DaemonNotifying())
        return;
    DaemonNotify("STOPPING=1");
    if (Service.Window != 0)
        KillTimer(Service.Window, kTimerStatus);
}

void ServiceReset()
{
    if (Service.Window != 0)
        DestroyWindowProc(Service.Window);
    Service = ServiceState{};
}
