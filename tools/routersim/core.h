// The simulator's own plumbing, shared by its core files only (the
// protocol files see sim.h alone): the device it talks on, the pseudo-
// terminal, and the protocol keywords.
#pragma once
#include <string>

#include "sim.h"

// The descriptor SimSend writes to (-1: none yet).
void SimSetDevice(int fd);
// Seeds the noise that replaces replies while garbage is on.
void SimSeedNoise(unsigned seed);

// A burst: from SimBatchBegin on, what SimSend is given is collected (not
// logged frame by frame) and SimBatchEnd writes it all in one write, logged
// as one "BURST <bytes> bytes in <n> frames" line; false when it could not
// be written.
void SimBatchBegin();
size_t SimBatchSize();
bool SimBatchEnd();

// Opens a pseudo-terminal in raw mode on both sides; returns the master
// descriptor (non-blocking) and the slave's path, or -1 with a message.
int SimOpenPty(std::string *slavePath, std::string *error);
// Opens a serial device (or anything readable and writable) in raw mode,
// non-blocking; speed 0 keeps the device's rate.  Takes it exclusively as
// the driver does (flock, TIOCEXCL), so a line in use is refused.  -1 with
// a message.
int SimOpenDevice(const char *path, int speed, std::string *error);
// Points a symbolic link at target.  A link to something that exists is
// replaced only with force, and *previous is then its target (empty
// otherwise); a dangling link is replaced; a file never.
bool SimMakeLink(const char *linkPath, const std::string &target, bool force,
                 std::string *previous, std::string *error);
// If the link still points at target: puts the previous link back, or
// removes it when there was none.
void SimRemoveLink(const char *linkPath, const std::string &target, const std::string &previous);

// Splits "[HOST:]PORT" ("[v6]:PORT" for an IPv6 address); HOST defaults
// to 127.0.0.1, PORT 0 asks for any free port.  False when malformed.
bool SimParseListen(const std::string &address, std::string *host, std::string *port);
// Listens for the driver on TCP, as a serial device server would; returns
// the listening descriptor (non-blocking) and the address it got as
// "HOST:PORT" with the real port, or -1 with a message.
int SimListenTcp(const std::string &host, const std::string &port, std::string *address,
                 std::string *error);
// Takes a connection waiting at the listener: its descriptor (non-blocking)
// and the peer as "HOST:PORT"; -1 when none was waiting.
int SimAcceptTcp(int listener, std::string *peer);

// The protocol code of a profile keyword, as the driver reads it: upper-
// cased, every keyword found anywhere counts and the last one found wins;
// 0 when none is found.
int SimProtocolCode(const char *value);

// Runs the router until quit, a signal, or the end of standard input when
// stdinQuit is set; returns the exit status.  startClosed: the device is a
// pseudo-terminal that nobody has opened yet.  listener >= 0: there is no
// device (fd -1) but a TCP listener, whose connections, one at a time, are
// the line; the loop closes the connection it holds at the end.
int RunSimulator(SimRouter &r, const SimProtocol &protocol, int fd, int listener,
                 bool stdinQuit, bool startClosed);
