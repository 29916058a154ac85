#include "routing/statefiles.h"
// STUB
void LoadIndexFile() {}
void SaveIndexFile() {}
void LoadLockFile() {}
void SaveLockFile() {}
void PeriodicSaveTick() {}
uint32_t PeriodicSaveCounter() { return 0; }
void StateFilesReset() {}
