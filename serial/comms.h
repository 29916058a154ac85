// The comms library: serial ports by COM number, each with a reader thread
// that fills a 16 KB receive ring and announces data with WM_COMMNOTIFY.
//
// COM n is the device named by [Serial] COMn of the paths file (written
// back as /dev/ttyS<n-1> when missing).  Results follow the library's
// conventions: an index (COM number - 1) or -1/-2/-3.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

constexpr int kCommPorts = 256;
constexpr int kRingSize = 16384;

// Parity codes of CommOpen.
constexpr int kParityNone = 0, kParityOdd = 1, kParityEven = 2;

struct COMSTAT {
    uint32_t cbInQue = 0;
    uint32_t cbOutQue = 0;
};

int CommOpen(int port, int baud, int byteSize, int stopBits, int parity);
void CommClose(int index);
int CommRead(int index, uint8_t *buffer, int count);
int CommWrite(int index, const uint8_t *data, int length);
int CommSetNotify(int index, HWND window, int chunk);
int CommGetStatus(int index, COMSTAT *status);
int CommPurge(int index, uint32_t flags);
// The device path of COM n as configured (tests, diagnostics).
bool CommDevicePath(int port, char *buffer, unsigned size);
