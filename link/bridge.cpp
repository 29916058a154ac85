#include "link/bridge.h"
// STUB
int32_t BridgeSend(HWND, HWND, UINT, WPARAM, uintptr_t, int, int) { return 0; }
void BridgeReceive(HWND, HWND, COPYDATASTRUCT *) {}
void BridgeReset() {}
