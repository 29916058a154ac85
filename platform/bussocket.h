// The bus directory and the window sockets in it: the file-system side of
// the message bus, used by the platform/bus*.cpp files only (see docs/bus.md).
#pragma once
#include "platform/winapi.h"

#include <sys/stat.h>

#include <string>
#include <vector>

// Creates the directory (mode 0700) when missing; false with a reason when
// it is not a directory of our own user with mode exactly 0700, or when its
// socket names would not fit a socket address.  The checks (and the chmod
// of a new directory) act on the opened directory, never on the path again.
bool BusPrepareDirectory(const std::string &dir, std::string *error);
// dir/w%08x.
std::string BusWindowPath(const std::string &dir, HWND window);
// 1 for "w" and exactly eight lower-case hex digits naming a usable handle.
bool BusWindowName(const char *name, HWND *window);
// 1 when the process at the other end runs as our user or root; *pid (when
// given) is that process.
bool BusPeerTrusted(int fd, pid_t *pid = nullptr);
// One non-blocking connection attempt to a window's socket.  Returns the
// descriptor, or -1 with an errno value in *reason (EAGAIN: queue full).
// A socket that refuses is removed on the way.
int BusConnect(const std::string &dir, HWND target, int *reason);
// The listening socket of one of our windows, made to appear under its
// w-name all at once; -1 when the name is taken.  *made identifies the file.
int BusListen(const std::string &dir, HWND window, struct stat *made);
// Removes our window's socket file, if it is still the one we made.
void BusRemoveOwnSocket(const std::string &dir, HWND window, const struct stat &made);
// The windows whose sockets are in dir, sorted.  Every entry is read;
// only sockets count.  A window name that is not a socket is removed.
void BusScanWindows(const std::string &dir, std::vector<HWND> *out);
