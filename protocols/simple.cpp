// STUB: the SIMPLE protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps SimpleOps;
const ProtocolOps SimpleOps = {"SIMPLE", nullptr, nullptr, nullptr};
