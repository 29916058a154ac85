// The router simulator: one router of a chosen protocol on a serial device
// (normally the master side of a pseudo-terminal).  Each protocol's router
// lives in its own file and exports one SimProtocol table.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SimRouter {
    int sources = 16;
    int dests = 16;
    int levels = 1;
    int minDest = 1;                 // the first destination the driver's port serves
    std::vector<std::vector<int>> xpt;  // [level][dest], dest 1..dests; -1 unknown
    bool silent = false;             // answer nothing
    bool garbage = false;            // answer noise instead
    std::vector<std::string> options;  // extra "key=value" options for a protocol
};

struct SimProtocol {
    const char *name;                                  // the profile keyword
    void (*start)(SimRouter &r);                       // optional
    void (*byte)(SimRouter &r, uint8_t b);             // one byte from the driver
    void (*announce)(SimRouter &r, int dest);          // unsolicited tally of dest
};

// Writes bytes to the driver (dropped while silent).
void SimSend(SimRouter &r, const void *bytes, size_t length);
void SimSendText(SimRouter &r, const std::string &text);
// A line for the simulator's own log (standard output), one event per line.
void SimLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Option value by key ("" when absent).
std::string SimOption(const SimRouter &r, const char *key);

// By protocol code 0..16; null where the simulator has no such router.
extern const SimProtocol *const SimTable[17];

// ---- Conventions of the simulator core (additions) ----
// xpt holds one row per level: xpt[0] is the first level (level 1, letter A
// for the text protocols), each row has dests + 1 entries (entry 0 unused).
// SimSend logs every call as one "TX ..." line itself (or "DROP ..." while
// silent, "NOISE ..." when garbage replaces it); a protocol file logs only
// what it receives, one complete frame per line, with SimLogFrame("RX", ...).

// One log line "<tag> <frame>": printable text as it is (a trailing CR/LF
// left out), anything else as blank-separated hex bytes.
void SimLogFrame(const char *tag, const void *bytes, size_t length);
// Collects a text frame ending in `end` (CR unless named) into line; true
// once the end byte came, the frame then logged as RX.  A line that grows
// past maxLine is logged, reported as BAD and dropped.
bool SimLineByte(std::string &line, uint8_t b, size_t maxLine, uint8_t end = 0x0D);
// As SimLineByte (CR ends a line); once a line is whole, the frame from its
// first `start` byte on (noise before it skipped) goes to *frame and the line
// starts again.  A whole line without `start` is reported as "BAD no <what>".
// True when *frame holds a frame.
bool SimLineFrame(std::string &line, uint8_t b, size_t maxLine, char start, const char *what,
                  std::string *frame);
// A decimal number of at most 6 digits at text[*at], *at moved past it; -1
// when there is none.
int SimNumber(const std::string &text, size_t *at);
// The crosspoint of a level (0-based) and destination; -1 when unknown or
// out of range.
int SimXpt(const SimRouter &r, int level, int dest);
// Sets a crosspoint; false (and nothing changed) when out of range.
bool SimSetXpt(SimRouter &r, int level, int dest, int source);
