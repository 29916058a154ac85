// System paths (zolt_config.ini), the workstation number (KALDERA.INI) and
// the workstation access list ([Security] Access of the profile).
#pragma once
#include <cstddef>
#include <cstdint>

void ReadConfigPath(char *buffer, size_t size);
void ReadSystemPath(char *buffer, size_t size);
void ReadTempPath(char *buffer, size_t size);
// [System] WorkStation of KALDERA.INI; -1 written back when absent.
int32_t ReadWorkStation();
// Rebuilds WorkstationAccess from the profile's [Security] Access.
void LoadWorkstationAccess();
