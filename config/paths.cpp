#include "config/paths.h"
// STUB
void ReadConfigPath(char *b, size_t s) { if (s) b[0] = 0; }
void ReadSystemPath(char *b, size_t s) { if (s) b[0] = 0; }
void ReadTempPath(char *b, size_t s) { if (s) b[0] = 0; }
int32_t ReadWorkStation() { return -1; }
void LoadWorkstationAccess() {}
