#include "link/attach.h"
// STUB
LinkState Link;
int AttachToVek() { return 0; }
int RegisterDevice() { return 0; }
void DeregisterDevice() {}
void ShowTxRxMode(int32_t) {}
int32_t SetTxRxMode(int32_t m) { return m; }
int AllPortsHealthy() { return 1; }
LRESULT HandleLinkMessage(UINT, WPARAM, LPARAM) { return 0; }
void LinkReset() { Link = LinkState{}; }
