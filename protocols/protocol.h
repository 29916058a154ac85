// The seam between the driver core and the router protocols: the table of
// operations by protocol code, the dispatch points, the poll cycle and the
// per-port receive state the protocols share.
#pragma once
#include <cstdint>

#include "config/profile.h"

struct ProtocolOps {
    const char *name;
    void (*route)(int32_t source, int32_t dest);  // build and send a route
    void (*poll)(int32_t dest);                    // interrogate one destination
    void (*receive)(int port, uint8_t byte);       // one received byte
};

constexpr int kProtocolCodes = 17;  // 0 (none) and 1..16
// The registry, indexed by code; missing operations are null.
extern const ProtocolOps *const ProtocolTable[kProtocolCodes];

constexpr int kRxBufferSize = 258;
struct ProtocolState {
    uint8_t RxBuffer[kMaxPorts + 1][kRxBufferSize] = {};
    int32_t RxCount[kMaxPorts + 1] = {};
    int32_t NextPoll[kMaxPorts + 1] = {};
    int32_t SweepCounter = 0;
};
extern ProtocolState Proto;

// Route dispatch: the route operation of the port serving dest.
void RouteDispatch(int32_t source, int32_t dest);
// Timer 1 of the main dialog.
void PollTick();
// Starts the start-up sweep (sweep counter 1, timer 1 at InitTallyDelay).
void StartPolling();
// Receive dispatch: one byte of port p to its protocol's parser.
void ReceiveDispatch(int port, uint8_t byte);

// The shared reporting contract: validate, pend or store, report.
// Returns 1 when the tally changed.
int ReportTally(int port, int32_t dest, int32_t source);
// A destination a reply names by its place on the port (counted from
// MinDest) that lies outside MinDest..MaxDest: no output of this port's
// router, though the number may be one of another port's.  A port without
// MaxDest is bounded by the destination count alone.
bool OutsidePort(int port, int32_t dest);
// A reply the protocol accepted: clears the no-reply count and brings a
// failed port back to ok.
void AcceptReply(int port);
void ProtocolReset();
// A port about to be opened: poll from its first destination, empty
// receive buffer (the port manager's PortOpening hook).
void OpenPortPoll(int port);
// A port read afresh from the profile: no poll position.
void ClearPortPoll(int port);
