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

// Opens a pseudo-terminal in raw mode on both sides; returns the master
// descriptor (non-blocking) and the slave's path, or -1 with a message.
int SimOpenPty(std::string *slavePath, std::string *error);
// Opens a serial device (or anything readable and writable) in raw mode,
// non-blocking; speed 0 keeps the device's rate.  -1 with a message.
int SimOpenDevice(const char *path, int speed, std::string *error);
// Points a symbolic link at target, replacing an older link (never a file).
bool SimMakeLink(const char *linkPath, const std::string &target, std::string *error);
// Removes the link if it still points at target.
void SimRemoveLink(const char *linkPath, const std::string &target);

// The protocol code of a profile keyword, as the driver reads it: upper-
// cased, every keyword found anywhere counts and the last one found wins;
// 0 when none is found.
int SimProtocolCode(const char *value);

// Runs the router until quit, a signal, or the end of standard input when
// stdinQuit is set; returns the exit status.  startClosed: the device is a
// pseudo-terminal that nobody has opened yet.
int RunSimulator(SimRouter &r, const SimProtocol &protocol, int fd, bool stdinQuit,
                 bool startClosed);
