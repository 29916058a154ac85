// Revertives ("RR ddd ddd ddd") to VEK, notices to attached programs, the
// network-status exchange and tally requests of attached programs.
#pragma once
#include <cstdint>

extern uint32_t RevertiveCounter;

// Reports destinations first..last (kind 1: 2187 each; 2: 2188, the last
// flagged 0x8000 in tag) to attached programs and VEK; only in Tx/Rx mode.
void SendRevertives(int32_t first, int32_t last, int kind, uint32_t tag);
// Message 2121 ("NS"): 1 when it was for our workstation with key txrx.
int HandleNetworkStatus(const char *text);
// Message 2177: everything (any kind but 2) or the destinations carrying
// the entry of the last database-change notice (kind 2).
void RefreshRevertives(int32_t device, int32_t kind);
// Message 2736 in EXTERNAL mode: the external driver's router reports a tally.
void TallyFromExternal(int32_t destination, int32_t source);
// Message 2737: sends the tally to the external driver (2741) and returns
// it; -1 and nothing sent for a destination outside 1..4096.
int32_t ReportTallyToExternal(int32_t destination);
void RevertiveReset();
// Called with the destination and the reported source of every revertive
// text sent to VEK (the operator's client keeps a journal of them); null
// for none.  RevertiveReset clears it.
using RevertiveObserver = void (*)(int32_t dest, int32_t source);
void SetRevertiveObserver(RevertiveObserver observer);
