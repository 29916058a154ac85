#include "serial/ports.h"
// STUB
PortState Ports;
void OpenPorts() {}
void ClosePorts() {}
void PortTransmit(int, const uint8_t *, int) {}
void NotePortError(int) {}
int PortForDest(int32_t) { return 0; }
int PortByCommIndex(int) { return 0; }
void DrainPort(int) {}
void PortsReset() { Ports = PortState{}; }
