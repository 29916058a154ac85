// The command interpreter fed with arbitrary control-system texts.
#include <string>

#include "config/profile.h"
#include "fuzz/common.h"
#include "link/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSetUpDevice();
    if (size > 0) {
        Profile.FirstVirtual = data[0] & 1 ? 40 : 0;
        Profile.DestToSource = data[0] & 2 ? 1 : 0;
        Profile.Simulation = data[0] & 4 ? 1 : 0;
        Profile.RevertiveMode = data[0] & 8 ? 2 : 1;
    }
    std::string text(reinterpret_cast<const char *>(data), size);
    ReceiveCommand(text.c_str());
    return 0;
}
