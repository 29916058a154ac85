// DEV_nnn.DAT (tallies and virtual routes) and DEV_nnn.LCK (locks).
#pragma once
#include <cstdint>

void LoadIndexFile();
void SaveIndexFile();
void LoadLockFile();
void SaveLockFile();
// Timer 2 (every minute): saves DEV_nnn.DAT every SaveDelay ticks.
void PeriodicSaveTick();
// The tick counter (tests).
uint32_t PeriodicSaveCounter();
void StateFilesReset();
