// The bus's connection table: the connections other programs opened to our
// windows, the posted messages they have waiting in our queue, and the
// connections we keep open to other programs' windows.  Plain bookkeeping
// with the limits that keep a hostile peer from exhausting the program;
// platform/busaccept.cpp and the send and post files do the socket work
// (see docs/bus.md).
#pragma once
#include "platform/winapi.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <vector>

struct BusLimits {
    size_t maxAccepted = 512;         // accepted connections in all
    size_t maxPerPeer = 64;           // accepted connections of one peer process
    int64_t idleMs = 300000;          // an accepted connection idle this long is closed
    size_t maxKept = 8;               // kept send connections, and kept post connections
    uint32_t postsPerConn = 256;      // posts one connection may have waiting
    uint64_t bytesPerConn = 2u << 20;
    uint32_t postsTotal = 4096;       // posts waiting from all connections
    uint64_t bytesTotal = 16u << 20;
    size_t broadcastFlights = 128;    // broadcast connections awaiting a reply at once
};
// The limits in force; tests lower them.
extern BusLimits BusBounds;

// What a waiting post costs besides its block (its record and queue entry).
constexpr uint64_t kBusPostOverhead = 128;

struct AcceptedConn {
    HWND window = 0;          // the window of the socket it came in on
    uint64_t serial = 0;      // tells a reused descriptor number from the old one
    pid_t peer = 0;           // the process at the other end
    int64_t lastActive = 0;   // ms: accepted, or last frame read
    int busy = 0;             // its send is being served right now (nested)
    uint32_t posts = 0;       // its posts waiting in our queue
    uint64_t bytes = 0;
};

struct ConnTable {
    std::map<int, AcceptedConn> accepted;  // by descriptor
    uint64_t nextSerial = 1;
    uint32_t posts = 0;  // all posts waiting
    uint64_t bytes = 0;
};

// The connection to close so that a newcomer from `peer` fits within the
// limits (maxAccepted may be lowered further by the caller): -1 when it
// fits as it is, -2 when it does not and nothing can go (all busy).  The
// longest-idle connection goes: the peer's own when the peer is at its
// share, else anybody's.
int ConnToEvict(const ConnTable &t, pid_t peer, size_t maxAccepted);
// Accepted connections idle since before now - BusBounds.idleMs (not busy).
std::vector<int> ConnsIdle(const ConnTable &t, int64_t now);
// The longest-idle connection that is not busy, -1 when none.
int ConnLongestIdle(const ConnTable &t);
// Counts a post of `bytes` (its cost) against its connection and the total;
// false, counting nothing, when that would pass the connection's share or
// the total: the caller drops the post and closes the connection.
bool ConnChargePost(ConnTable *t, int fd, uint64_t bytes);
// A waiting post was handed over (or dropped): its cost is given back, to
// its connection too if that is still the same one.
void ConnReleasePost(ConnTable *t, int fd, uint64_t serial, uint64_t bytes);

// Connections we opened and keep for later frames to one window each, least
// recently used first out.
struct KeptConn {
    HWND target = 0;
    int fd = -1;
    uint64_t lastUse = 0;
};
struct KeptSet {
    std::vector<KeptConn> conns;
    uint64_t clock = 0;
};
// Removes and returns the kept connection to target, -1 when none.
int KeptTake(KeptSet *s, HWND target);
// The kept connection to target, left in the set and marked as just used.
int KeptFind(KeptSet *s, HWND target);
// Keeps fd for target; returns the descriptors the caller must close (one
// already kept for target, or the least recently used beyond max).
std::vector<int> KeptPut(KeptSet *s, HWND target, int fd, size_t max);
// Removes every kept connection to target (or all, for target 0); returns
// their descriptors for the caller to close.
std::vector<int> KeptDrop(KeptSet *s, HWND target);
