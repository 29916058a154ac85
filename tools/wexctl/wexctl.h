// wexctl: the operator's client of a running driver.  It reads the driver
// through its extension messages (shell/extension.h, docs/bus.md) and
// routes and locks with the same command texts the control system sends.
#pragma once
#include "platform/winapi.h"

#include <map>
#include <string>
#include <vector>

// One key=value record of an extension message's text.
using Record = std::map<std::string, std::string>;

struct Tally {
    int32_t dest = 0;
    int32_t source = -1;
    bool locked = false;
};

struct Revertive {
    uint32_t seq = 0;
    int32_t dest = 0;
    int32_t source = -1;
};

struct Driver {
    int32_t id = 0;
    HWND window = 0;
    HWND vek = 0;
    Record info;
};

// Finds driver `id` among the windows of the bus; false when none answers.
bool FindDriver(int32_t id, Driver *d);
// Re-reads the info record; false when the driver no longer answers.
bool ReadInfo(Driver *d);
bool ReadPorts(const Driver &d, std::vector<Record> *ports);
// Destinations first..last (clamped to the driver's count).
bool ReadTallies(const Driver &d, int32_t first, int32_t last, std::vector<Tally> *out);
// The newest revertive's sequence number (0: none yet).
uint32_t NewestRevertive(const Driver &d);
// The revertives the driver sent after *seq, oldest first; *seq becomes the
// newest, *missed counts those the driver no longer holds.
bool ReadRevertives(const Driver &d, uint32_t *seq, std::vector<Revertive> *out, uint32_t *missed);
// The name VEK holds for index (database 0 sources, 1 destinations); empty
// when VEK does not serve one.  Answers are kept for the run.
std::string Name(const Driver &d, int database, int32_t index);
// Sends an RC or RL text with the command extension; returns its result.
int32_t SendCommand(const Driver &d, const std::string &text);
int32_t NumberOf(const Record &r, const char *key);

// Output (text or JSON, set by --json).
extern bool JsonOutput;
void PrintPorts(const Driver &d, const std::vector<Record> &ports);
void PrintTallies(const Driver &d, const std::vector<Tally> &tallies);
// Follows the driver until SIGINT or SIGTERM (0) or until it stops
// answering (1).
int Watch(Driver *d);
