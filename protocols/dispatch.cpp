#include "protocols/protocol.h"
// STUB
ProtocolState Proto;
void RouteDispatch(int32_t, int32_t) {}
void PollTick() {}
void StartPolling() {}
void ReceiveDispatch(int, uint8_t) {}
int ReportTally(int, int32_t, int32_t) { return 0; }
void AcceptReply(int) {}
void ProtocolReset() { Proto = ProtocolState{}; }
