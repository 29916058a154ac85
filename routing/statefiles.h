// DEV_nnn.DAT (tallies and virtual routes) and DEV_nnn.LCK (locks).
#pragma once
#include <cstdint>

// The loads return false when the file exists but cannot be read (said as
// an event line): the tables are then left as they were and that file is
// not saved in this run.  A missing file is created.
bool LoadIndexFile();
void SaveIndexFile();
bool LoadLockFile();
void SaveLockFile();
// False once a state file could not be read in this run.
bool StateFilesReadable();
// Timer 2 (every minute): saves DEV_nnn.DAT every SaveDelay ticks.
void PeriodicSaveTick();
// The tick counter (tests).
uint32_t PeriodicSaveCounter();
void StateFilesReset();
