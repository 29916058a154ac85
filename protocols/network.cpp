// STUB: the NETWORK protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps NetworkOps;
const ProtocolOps NetworkOps = {"NETWORK", nullptr, nullptr, nullptr};
