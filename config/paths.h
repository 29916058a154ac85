// System paths (zolt_config.ini), the workstation number (KALDERA.INI) and
// the workstation access list ([Security] Access of the profile).
#pragma once
#include <cstddef>
#include <cstdint>

// Each returns false, with an empty path, when the paths file cannot be
// read (other than missing); nothing is then written back.
bool ReadConfigPath(char *buffer, size_t size);
bool ReadSystemPath(char *buffer, size_t size);
bool ReadTempPath(char *buffer, size_t size);
// [System] WorkStation of KALDERA.INI; -1 written back when absent.
int32_t ReadWorkStation();
// Rebuilds WorkstationAccess from the profile's [Security] Access; false
// (the list unchanged) when the profile cannot be read.
bool LoadWorkstationAccess();
// A profile read state (ReadProfileString) that may be used and written
// back: read whole, missing, or read in part (which the writer refuses).
bool ProfileReadable(int state);
