// Comparing what the driver believes with what the routers carry, for the
// end-to-end fault and soak tests: router crosspoints from the simulator's
// `dump`, the driver's tallies from an RQ report through vek, from the
// revertives vek has logged, and from DEV_nnn.DAT.
#pragma once
#include <sys/types.h>

#include <map>
#include <string>

#include "tests/support/system.h"

using TallyMap = std::map<int, int>;  // destination -> source, -1 none

// Level-1 crosspoints of the simulator on COM com (asks it for a dump).
// Empty when the dump did not come.
TallyMap RouterCrosspoints(Site &s, int com, int timeoutMs = 15000);
// The driver's tallies first..last from an RQ report; tag is the
// workstation field (1..999), which marks this report's lines in vek's log.
// Empty when the report did not come.
TallyMap ReportedTallies(Site &s, int id, int first, int last, int tag, int timeoutMs = 15000);
// Waits until the driver acts on commands (the start-up sweep is over): asks
// for a one-destination report every few hundred milliseconds until one
// comes.  Tag 998 marks these reports.
bool WaitCommandsAccepted(Site &s, int id, int timeoutMs = 30000);
// The last source vek was told for each destination (2187 and 2188 alike).
TallyMap LastRevertives(const std::string &vekLog, int id);
// TallyTable[first..last] as stored in a DEV_nnn.DAT (65535 counts as -1).
TallyMap StoredTallies(const std::string &datPath, int first, int last);
// Lines of the simulator's log that start with prefix (RX, TX, ...).
size_t RouterLines(Site &s, int com, const std::string &prefix);
// Waits until the simulator on COM com has sent `more` replies beyond `mark`
// (a RouterLines(.., "TX ") count): with no routes going on, one reply per
// poll tick, so the port's whole range has been interrogated again.
bool WaitRouterReplies(Site &s, int com, size_t mark, size_t more, int timeoutMs = 30000);
// Resident set size of a process in kB (VmRSS), -1 when unknown.
long ResidentKb(pid_t pid);
// The destinations whose sources differ, as "d: driver=x router=y" lines.
std::string Differences(const TallyMap &driver, const TallyMap &router, int first, int last);
