// The comms library: serial ports by COM number, each with a reader thread
// that fills a 16 KB receive ring and announces data with WM_COMMNOTIFY.
//
// COM n is the device named by [Serial] COMn of the paths file (written
// back as /dev/ttyS<n-1> when missing), or "tcp:HOST:PORT" for a serial
// device server reached by raw TCP.  Results follow the library's
// conventions: an index (COM number - 1) or -1/-2/-3.
//
// A device that hangs up or fails is reopened by its reader once its path
// opens again, and a device server is (re)connected by the reader, retrying
// after 1 s and then ever less often, up to every 30 s.  Meanwhile writes
// fail (-1) and CommGetStatus reports CE_IOE; the ring and the notify
// settings stay as they were.
//
// Threads: every function here runs on the main thread.  Each open port has
// one reader thread that waits in poll() on the device and a wake descriptor,
// appends what arrives to the port's ring (guarded by the ring's semaphore,
// waited for at most 200 ms) and posts WM_COMMNOTIFY.  Besides the ring, the
// reader shares only atomics with the main thread: run flag, notify window,
// notify outstanding, pending count, error mask, its pass counter, the
// paused flag and the link state (and
// the kernel's descriptor table: it swaps a lost device for a new one behind
// the same descriptor number).
//
// The reader always takes whatever the device holds (up to 256 bytes): poll()
// already hands over each byte as it arrives, so there is no read chunk to
// tune, and CommSetNotify's chunk only says whether to announce (>= 0) or not.
// It never reads more than the ring has room for: with 16383 unread bytes
// the ring is full and the reader stops watching the device until CommRead
// has made room for a whole read (256 bytes); meanwhile the bytes wait in
// the kernel (the terminal's buffer, the TCP window), so nothing is lost
// that the kernel kept.  A change of the link (lost, back) is announced like
// received bytes, and CommLinkState tells it.
//
// There is no CommConfigure: the system's port settings dialog has no
// counterpart here; port settings come from the profile only.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

constexpr int kCommPorts = 256;
constexpr int kRingSize = 16384;

// Parity codes of CommOpen.
constexpr int kParityNone = 0, kParityOdd = 1, kParityEven = 2;
constexpr int kParityMark = 3, kParitySpace = 4;
// Stop-bit codes of CommOpen.
constexpr int kStopOne = 0, kStopOneAndHalf = 1, kStopTwo = 2;

// Bits of the error mask CommGetStatus returns.
constexpr uint32_t CE_RXOVER = 0x0001;    // the UART driver's receive buffer overran
constexpr uint32_t CE_OVERRUN = 0x0002;   // the UART lost characters
constexpr uint32_t CE_RXPARITY = 0x0004;  // parity error
constexpr uint32_t CE_FRAME = 0x0008;     // framing error
constexpr uint32_t CE_BREAK = 0x0010;     // break received
constexpr uint32_t CE_TXFULL = 0x0100;    // a write could not finish within 1 s
constexpr uint32_t CE_IOE = 0x0400;       // device error or hang-up

// Flags of CommPurge.
constexpr uint32_t PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004, PURGE_RXCLEAR = 0x0008;

struct COMSTAT {
    uint32_t cbInQue = 0;
    uint32_t cbOutQue = 0;
};

// Opens COM port (1..256) and starts its reader: the index, -1 (bad number,
// open or configuration failed) or -2 (the device is held by another open).
// A device server's port opens at once; its reader connects.
int CommOpen(int port, int baud, int byteSize, int stopBits, int parity);
// Stops the reader, closes the device; -1 only frees an idle port table.
void CommClose(int index);
// Takes up to count received bytes from the ring; never waits for data.
int CommRead(int index, uint8_t *buffer, int count);
// Whether index names an open port (one whose ring can ever fill).
bool CommIsOpen(int index);
// Writes all bytes within 1 s: length, -1 failed, -2 bad index, -3 no table.
int CommWrite(int index, const uint8_t *data, int length);
// chunk >= 0: announce data to window; chunk < 0: stop announcing.
int CommSetNotify(int index, HWND window, int chunk);
// Returns and clears the error mask; status gets the ring's unread count.
int CommGetStatus(int index, COMSTAT *status);
// Discards the device's queued input and/or output (PURGE_* flags).
int CommPurge(int index, uint32_t flags);
// Whether the device is there (1), lost (0: hung up, failed, a device
// server that dropped or cannot be reached), or -1 for a bad index;
// *changes (if given) counts the changes since the open.
int CommLinkState(int index, uint32_t *changes);
// The device path (or tcp: address) of COM n as configured.
bool CommDevicePath(int port, char *buffer, unsigned size);
// Tests: whether the port table exists, and how many times the reader of
// an open port has come out of its wait (0 when the port is not open).
bool CommTableExists();
uint64_t CommReaderPasses(int index);
