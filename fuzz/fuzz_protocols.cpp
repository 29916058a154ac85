// Every protocol's receive parser on arbitrary bytes: the first byte picks
// the protocol code, the rest is the line.
#include "config/profile.h"
#include "fuzz/common.h"
#include "protocols/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    FuzzSetUpDevice();
    uint8_t code = data[0] % kProtocolCodes;
    Profile.Ports[1].Protocol = code;
    Profile.Ports[2].Protocol = code;
    const ProtocolOps *ops = ProtocolTable[code];
    if (!ops || !ops->receive)
        return 0;
    for (size_t i = 1; i < size; ++i)
        ops->receive(1, data[i]);
    return 0;
}
