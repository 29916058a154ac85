#include "serial/ports.h"
// STUB: the port manager is being built; PortForDest and the transmit hook
// are real so that protocol tests can run.
PortState Ports;
static PortTransmitHook Hook = nullptr;
void SetPortTransmitHook(PortTransmitHook hook) { Hook = hook; }
void OpenPorts() {}
void ClosePorts() {}
void PortTransmit(int port, const uint8_t *bytes, int length) { if (Hook) Hook(port, bytes, length); }
void NotePortError(int port) { if (port >= 1 && port <= kMaxPorts) ++Ports.ErrorCount[port]; }
int PortForDest(int32_t dest)
{
    for (int p = 1; p <= kMaxPorts; ++p)
        if (Profile.Ports[p].MinDest <= dest && dest <= Profile.Ports[p].MaxDest)
            return p;
    return 0;
}
int PortByCommIndex(int) { return 0; }
void DrainPort(int) {}
void PortsReset() { Ports = PortState{}; }
