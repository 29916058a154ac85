// The port manager: the up to eight router ports of the profile, their
// comms state, transmission with its diagnostic line, and draining of
// received bytes into the protocol parsers.
#pragma once
#include "config/profile.h"
#include <cstdint>

struct PortState {
    int32_t InUse[kMaxPorts + 1] = {};
    int32_t CommIndex[kMaxPorts + 1] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
    int32_t CommsFail[kMaxPorts + 1] = {};
    int32_t NoReply[kMaxPorts + 1] = {};
    uint32_t ErrorCount[kMaxPorts + 1] = {};
    int32_t LinkLost[kMaxPorts + 1] = {};      // "Link lost" reported, not yet "restored"
    uint32_t LinkChanges[kMaxPorts + 1] = {};  // the comms library's change count last seen
    int32_t FollowUpQueued[kMaxPorts + 1] = {};  // DrainPort's own follow-up waits in the queue
};
extern PortState Ports;

void OpenPorts();
void ClosePorts();
void PortTransmit(int port, const uint8_t *bytes, int length);
void NotePortError(int port);
int PortForDest(int32_t dest);
int PortByCommIndex(int index);
// Feeds the port's received bytes to its protocol: at most kDrainBytes or
// kDrainMs per call, then a follow-up WM_COMMNOTIFY returns to the main loop
// so that a line that never stops sending cannot hold it.  The follow-up
// carries the library index plus kDrainFollowUp (so it names no port of
// the library); while it waits in the queue, the reader's own notifications
// for the port are left to it and cost nothing.
void DrainPort(int index);
constexpr int kDrainBytes = 4096;
constexpr uint32_t kDrainMs = 10;
constexpr int kDrainFollowUp = 0x100;
// Reports a lost or restored link of port p ("Link lost on port %d",
// "Link restored on port %d"), once per change.
void NoteLinkState(int port);
void PortsReset();
// A port read afresh from the profile: not in use, no library index, no
// failure, no errors (the profile's ClearPort hook).
void ForgetPort(int port);

// What the port manager sets off above it, registered at start-up
// (ConnectLayers); a null hook is skipped.  PortOpening: a port is about to
// be opened (the protocols restart its poll and receive buffer).
// ReceiveByte: one received byte for the port's protocol (ReceiveDispatch).
// GoRxOnly: a port has just failed and the link must fall back to Rx Only.
struct PortHooks {
    void (*PortOpening)(int port) = nullptr;
    void (*ReceiveByte)(int port, uint8_t byte) = nullptr;
    void (*GoRxOnly)() = nullptr;
};
void SetPortHooks(const PortHooks &hooks);

// Tests: sees every frame PortTransmit is given, before it is written.
using PortTransmitHook = void (*)(int port, const uint8_t *bytes, int length);
void SetPortTransmitHook(PortTransmitHook hook);
