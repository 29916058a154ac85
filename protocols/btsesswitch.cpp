// STUB: the BTSESSWITCH protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps BtsesswitchOps;
const ProtocolOps BtsesswitchOps = {"BTSESSWITCH", nullptr, nullptr, nullptr};
