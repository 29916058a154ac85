// STUB: the VISTEK protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps VistekOps;
const ProtocolOps VistekOps = {"VISTEK", nullptr, nullptr, nullptr};
