#include "config/profile.h"
// STUB
DeviceProfile Profile;
std::string DeviceProfilePath() { return ""; }
int LoadDeviceProfile() { return 0; }
void ProfileReset() { Profile = DeviceProfile{}; }
