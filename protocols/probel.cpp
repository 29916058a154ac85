// STUB: the PROBEL protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps ProbelOps;
const ProtocolOps ProbelOps = {"PROBEL", nullptr, nullptr, nullptr};
