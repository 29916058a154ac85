// The NETWORK protocol's one driver-wide flag, cleared by the main dialog's
// initialisation.
#pragma once
#include <cstdint>

// 1 once the router's start-up sweep has been reported in one block; until
// then NETWORK tallies fill the table without revertives.
extern int32_t NetworkSweepDone;
