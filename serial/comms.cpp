#include "serial/comms.h"
// STUB
int CommOpen(int, int, int, int, int) { return -1; }
void CommClose(int) {}
int CommRead(int, uint8_t *, int) { return 0; }
int CommWrite(int, const uint8_t *, int) { return -1; }
int CommSetNotify(int, HWND, int) { return 0; }
int CommGetStatus(int, COMSTAT *) { return -1; }
int CommPurge(int, uint32_t) { return 0; }
bool CommDevicePath(int, char *, unsigned) { return false; }
