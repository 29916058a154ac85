// The driver's picture of the router: tally, lock, virtual and pending
// tables indexed by destination 0..4096 (entry 0 unused).
#pragma once
#include <cstdint>

constexpr int kMaxDest = 4096;
constexpr int kTableSize = kMaxDest + 1;

struct RoutingTables {
    int32_t TallyTable[kTableSize];
    int32_t LockTable[kTableSize];
    int32_t VirtualTable[kTableSize];
    int32_t PendingTable[kTableSize];
};
extern RoutingTables Routing;

// 1 when 0 <= s <= source count.
int IsValidSource(int32_t s);
// 1 when 1 <= d <= destination count.
int IsValidDest(int32_t d);
// The real source behind destination d through virtual sources, or 0.
int32_t ResolveVirtualSource(int32_t d);
// Copies tallies into the real-destination entries of VirtualTable.
void SyncVirtualTable(int32_t first, int32_t last);
// An RC command when virtual sources are configured.
void RouteVirtual(const char *commandText);
// Re-routes real destinations fed by virtual sources.
void RefreshVirtualRoutes(int32_t workstation);
// One tick of the revertive-delay timer.
void ApplyPendingTallies();
// Tests: sees every "RC" text the virtual-source rules build, just before
// RouteCommand is given it; null removes the hook.
using VirtualRouteHook = void (*)(const char *command);
void SetVirtualRouteHook(VirtualRouteHook hook);
// What a table change sets off above the tables: revertives to the control
// system, and routes handed to the command checks.  The link layer
// registers its SendRevertives and RouteCommand at start-up
// (ConnectLayers); a hook left null does nothing.
struct RoutingHooks {
    void (*SendRevertives)(int32_t first, int32_t last, int kind, uint32_t tag) = nullptr;
    void (*RouteCommand)(const char *text) = nullptr;
};
void SetRoutingHooks(const RoutingHooks &hooks);
// All tables to 0 (tests).
void RoutingReset();
