// Shared set-up of the fuzz targets: a device with two ports, a temporary
// root, every module reset, and the program in Tx/Rx mode.
#pragma once
#include <cstddef>
#include <cstdint>

void FuzzSetUpDevice();
// Joins the message bus in a fresh root made from the mkdtemp template
// (changed in place).
bool FuzzJoinBus(char *rootTemplate);
