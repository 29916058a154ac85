#include "routing/tables.h"
// STUB
RoutingTables Routing;
int IsValidSource(int32_t) { return 0; }
int IsValidDest(int32_t) { return 0; }
int32_t ResolveVirtualSource(int32_t) { return 0; }
void SyncVirtualTable(int32_t, int32_t) {}
void RouteVirtual(const char *) {}
void RefreshVirtualRoutes(int32_t) {}
void ApplyPendingTallies() {}
void RoutingReset() { Routing = RoutingTables{}; }
