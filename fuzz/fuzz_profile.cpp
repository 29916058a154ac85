// The profile reader and the device profile loader on arbitrary files.
#include <cstdio>
#include <string>

#include "config/profile.h"
#include "fuzz/common.h"
#include "platform/profile.h"
#include "platform/root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSetUpDevice();
    std::string path = RootDirectory() + "/DEV_007.INI";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    char buf[16];
    GetPrivateProfileString("WEX", "DebugMode", "-1", buf, sizeof buf, path.c_str());
    LoadDeviceProfile();
    return 0;
}
