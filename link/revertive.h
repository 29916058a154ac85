// Revertives ("RR ddd ddd ddd") to VEK, notices to attached programs, the
// network-status exchange and tally requests of attached programs.
#pragma once
#include <cstdint>

extern uint32_t RevertiveCounter;

void SendRevertives(int32_t first, int32_t last, int kind, uint32_t tag);
int HandleNetworkStatus(const char *text);
void RefreshRevertives(int32_t device, int32_t kind);
void TallyFromExternal(int32_t destination, int32_t source);
int32_t ReportTallyToExternal(int32_t destination);
void RevertiveReset();
