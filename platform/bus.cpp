#include "platform/bus.h"
// STUB
bool BusOpen(std::string *e) { if (e) *e = "bus not built"; return false; }
void BusClose() {}
bool BusIsOpen() { return false; }
LRESULT BusSendBlock(HWND, HWND, UINT, WPARAM, void *, uint32_t) { return 0; }
LRESULT BusSend(HWND, HWND, UINT, WPARAM, LPARAM) { return 0; }
bool BusPost(HWND, HWND, UINT, WPARAM, LPARAM, const void *, uint32_t) { return false; }
int BusListWindows(HWND *, int) { return 0; }
