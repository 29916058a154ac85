// The routing tables and the virtual-source rules.
//
// With virtual sources configured (FirstVirtual F not 0) the control system
// routes sources 1..F-1 and virtual sources F..destination count.  The
// VirtualTable entry of a real destination holds what the control system
// routed to it; the entry of a virtual number holds what feeds that virtual
// source.  Routers only ever get real sources: a chain of virtual sources is
// followed to its end, and every route is handed to RouteCommand as an "RC"
// text so it passes the same device, workstation, range and lock checks as a
// request from the control system.
//
// An entry above 4096 (a stored -1 reads back from DEV_nnn.DAT as 65535)
// names nothing the tables hold: it is unknown, resolves to 0 and is never
// taken for a route through a virtual source.
#include "routing/tables.h"

#include "config/paths.h"
#include "config/profile.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "platform/shellstate.h"

#include <cstdio>

RoutingTables Routing;

namespace {

VirtualRouteHook RouteHook = nullptr;
RoutingHooks Hooks;

void SendRevertives(int32_t first, int32_t last, int kind, uint32_t tag)
{
    if (Hooks.SendRevertives)
        Hooks.SendRevertives(first, last, kind, tag);
}

void RouteCommand(const char *text)
{
    if (Hooks.RouteCommand)
        Hooks.RouteCommand(text);
}

int32_t DestCount()
{
    int32_t n = Profile.DatabaseSize_1;
    return n > kMaxDest ? kMaxDest : n;
}

bool InTable(int32_t x) { return x >= 1 && x <= kMaxDest; }

// Fed by a virtual source: at or above F, and a number the table holds.
bool HoldsVirtual(int32_t entry) { return entry >= Profile.FirstVirtual && entry <= kMaxDest; }

void SendRoute(int32_t source, int32_t dest, int32_t workstation)
{
    char command[80];
    std::snprintf(command, sizeof command, "RC %d %d %d ',---' %d", Shell.DriverId, source, dest,
                  workstation);
    if (RouteHook)
        RouteHook(command);
    RouteCommand(command);
}

bool MayRoute(int32_t device, int32_t s, int32_t d, int32_t w)
{
    if (device != Shell.DriverId)
        return false;
    if (!WorkstationAllowed(w))
        return false;
    if (!IsValidSource(s) || !IsValidDest(d))
        return false;
    return Routing.LockTable[d] == 0;
}

}  // namespace

int IsValidSource(int32_t s) { return s >= 0 && s <= Profile.DatabaseSize_0; }
int IsValidDest(int32_t d) { return d >= 1 && d <= Profile.DatabaseSize_1 && d <= kMaxDest; }

// A loop of virtual sources never reaches a real one: after as many steps
// as there are destinations it resolves to 0, which parks.
int32_t ResolveVirtualSource(int32_t d)
{
    if (!InTable(d))
        return 0;
    int32_t x = Routing.VirtualTable[d];
    const int32_t first = Profile.FirstVirtual;
    if (x < first)
        return x;
    for (int32_t step = 0; step < DestCount(); ++step) {
        if (!InTable(x))
            return 0;
        x = Routing.VirtualTable[x];
        if (x < first)
            return x;
    }
    return 0;
}

// An unknown entry (above 4096) takes the tally too; a tally outside
// -1..4096 is copied as -1, as a report would show it.
void SyncVirtualTable(int32_t first, int32_t last)
{
    if (last > Profile.FirstVirtual - 1)
        last = Profile.FirstVirtual - 1;
    if (last > kMaxDest)
        last = kMaxDest;
    if (first < 1)
        first = 1;
    for (int32_t d = first; d <= last; ++d) {
        int32_t entry = Routing.VirtualTable[d];
        if (entry < Profile.FirstVirtual || entry > kMaxDest) {
            int32_t tally = Routing.TallyTable[d];
            Routing.VirtualTable[d] = (tally < -1 || tally > kMaxDest) ? -1 : tally;
        }
    }
}

void RouteVirtual(const char *commandText)
{
    if (!commandText)
        return;
    SplitCommandFields(commandText, 5);
    const int32_t s = FieldNumber(1), d = FieldNumber(2), w = FieldNumber(4);
    if (!MayRoute(FieldNumber(0), s, d, w))
        return;
    const int32_t first = Profile.FirstVirtual;
    if (s < first && d < first) {
        Routing.VirtualTable[d] = s;
        if (Routing.VirtualTable[d] == Routing.TallyTable[d])
            SendRevertives(d, d, 1, 0);
        SendRoute(s, d, w);
    } else if (s < first) {
        Routing.VirtualTable[d] = s;
        SendRevertives(d, d, 1, 0);
        RefreshVirtualRoutes(w);
    } else if (d < first) {
        Routing.VirtualTable[d] = s;
        SendRoute(ResolveVirtualSource(d), d, w);
    } else {
        if (s != d)  // a virtual source never feeds itself
            Routing.VirtualTable[d] = s;
        SendRevertives(d, d, 1, 0);
        RefreshVirtualRoutes(w);
    }
}

void RefreshVirtualRoutes(int32_t workstation)
{
    const int32_t first = Profile.FirstVirtual;
    for (int32_t v = first < 1 ? 1 : first; v <= DestCount(); ++v) {
        if (Routing.VirtualTable[v] == v) {
            Routing.VirtualTable[v] = 0;
            DebugPrint("Deleting virtual source to same dest");
        }
    }
    const int32_t lastReal = first - 1 > kMaxDest ? kMaxDest : first - 1;
    for (int32_t d = 1; d <= lastReal; ++d) {
        if (!HoldsVirtual(Routing.VirtualTable[d]))
            continue;
        int32_t r = ResolveVirtualSource(d);
        if (r != Routing.TallyTable[d])
            SendRoute(r, d, workstation);
    }
}

void ApplyPendingTallies()
{
    for (int32_t d = 1; d <= DestCount(); ++d) {
        if (Routing.PendingTable[d] == Routing.TallyTable[d])
            continue;
        Routing.TallyTable[d] = Routing.PendingTable[d];
        SendRevertives(d, d, 1, 0);
        if (d == Dlg.SelectedDest)
            ShowSelectedDest();
    }
}

void SetVirtualRouteHook(VirtualRouteHook hook) { RouteHook = hook; }

void SetRoutingHooks(const RoutingHooks &hooks) { Hooks = hooks; }

void RoutingReset() { Routing = RoutingTables{}; }
