#include "link/revertive.h"
// STUB
uint32_t RevertiveCounter = 0;
void SendRevertives(int32_t, int32_t, int, uint32_t) {}
int HandleNetworkStatus(const char *) { return 0; }
void RefreshRevertives(int32_t, int32_t) {}
void TallyFromExternal(int32_t, int32_t) {}
int32_t ReportTallyToExternal(int32_t) { return -1; }
void RevertiveReset() { RevertiveCounter = 0; }
