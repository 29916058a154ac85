#include "routing/tables.h"
#include "config/profile.h"
// STUB: the range checks are real; the rest is being built.
RoutingTables Routing;
int IsValidSource(int32_t s) { return s >= 0 && s <= Profile.DatabaseSize_0; }
int IsValidDest(int32_t d) { return d >= 1 && d <= Profile.DatabaseSize_1 && d <= kMaxDest; }
int32_t ResolveVirtualSource(int32_t) { return 0; }
void SyncVirtualTable(int32_t, int32_t) {}
void RouteVirtual(const char *) {}
void RefreshVirtualRoutes(int32_t) {}
void ApplyPendingTallies() {}
void RoutingReset() { Routing = RoutingTables{}; }
