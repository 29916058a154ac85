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
// Workstations 0..1000 of the access list.
constexpr int kWorkstations = 1001;
// The access list LoadWorkstationAccess fills: the command layer's table
// (Commands.WorkstationAccess, kWorkstations entries), registered at
// start-up (ConnectLayers).  The routing rules read it through
// WorkstationAllowed.
void SetWorkstationAccessTable(uint8_t *table);
// 1 when workstation w is in 0..1000 and on the list.
int WorkstationAllowed(int32_t w);
// Puts workstation n (1..999) on the list.
void AllowWorkstation(int32_t n);
// Rebuilds WorkstationAccess from the profile's [Security] Access; false
// (the list unchanged) when the profile cannot be read.
bool LoadWorkstationAccess();
// A profile read state (ReadProfileString) that may be used and written
// back: read whole, missing, or read in part (which the writer refuses).
bool ProfileReadable(int state);
