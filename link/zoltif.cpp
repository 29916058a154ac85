#include "link/zoltif.h"
// STUB
LRESULT ZOLT32TxMessage(HWND, UINT, WPARAM, LPARAM, int, uint32_t) { return 0; }
LRESULT ZOLT32RxMessage(HWND, WPARAM, LPARAM) { return 0; }
