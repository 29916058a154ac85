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
};
extern PortState Ports;

void OpenPorts();
void ClosePorts();
void PortTransmit(int port, const uint8_t *bytes, int length);
void NotePortError(int port);
int PortForDest(int32_t dest);
int PortByCommIndex(int index);
void DrainPort(int index);
void PortsReset();

// Tests: sees every frame PortTransmit is given, before it is written.
using PortTransmitHook = void (*)(int port, const uint8_t *bytes, int length);
void SetPortTransmitHook(PortTransmitHook hook);
