// The device under one comms-library port: where [Serial] COMn points (a
// serial device path, or "tcp:HOST:PORT" for a serial device server), taking
// a serial device exclusively, putting it in raw mode with the caller's line
// settings, the line-error counters of UARTs that keep them, and the raw TCP
// connection to a device server.
#pragma once
#include <cstdint>
#include <netdb.h>
#include <termios.h>

// Kernel line-error counters as last seen (UARTs that count them).
struct LineCounters {
    bool Known = false;
    int32_t Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufOverrun = 0;
};

// Where a port's bytes go: a serial device, or a device server over TCP.
struct DeviceAddress {
    bool Tcp = false;
    char Path[256] = {};    // serial device path (also the text as configured)
    char Host[256] = {};    // tcp: host name or address, brackets removed
    char Service[8] = {};   // tcp: port number 1..65535
};

// Reads COM port's entry; false when it is unusable (too long, a malformed
// "tcp:" address).
bool DeviceAddressOf(int port, DeviceAddress *address);
// Parses "tcp:HOST:PORT" ("tcp:[v6]:PORT" for IPv6 literals); false for
// anything else.
bool ParseTcpAddress(const char *text, DeviceAddress *address);
// Opens a serial device non-blocking, exclusively.  Returns 0 with *fd set,
// -2 when another open holds the device, -1 on any other failure.
int DeviceOpenPath(const char *path, int *fd);
// Connects to a device server, waiting at most timeoutMs and giving up at
// once when wakeFd becomes readable.  Returns the non-blocking socket or -1.
int TcpConnect(const DeviceAddress &address, int wakeFd, int timeoutMs);
// Tests: the name resolver device servers are looked up with (getaddrinfo
// unless set; null restores it).  Names are resolved on a thread of their
// own that the reader leaves behind when it has waited long enough or is
// told to stop, so a resolver that hangs never holds up closing a port.
using Resolver = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
void SetResolverForTests(Resolver resolver);
// A descriptor that stands in for a lost device: reads see end of file,
// writes fail.  -1 if none could be made.
int DeadDescriptor();
// Raw mode with the line settings, into tio; false for settings the line
// cannot take (a rate termios has no name for, 9 data bits, parity 7...).
bool DeviceLineSettings(termios *tio, int baud, int byteSize, int stopBits, int parity);
// Applies DeviceLineSettings to the device; stale input flushed.
bool DeviceConfigure(int fd, int baud, int byteSize, int stopBits, int parity);
// Gives up the exclusive hold and closes.
void DeviceClose(int fd);
// CE_* bits for line errors counted since the last call.
uint32_t DeviceLineErrors(int fd, LineCounters *seen);
