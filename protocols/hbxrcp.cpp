// STUB: the HBXRCP protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps HbxrcpOps;
const ProtocolOps HbxrcpOps = {"HBXRCP", nullptr, nullptr, nullptr};
