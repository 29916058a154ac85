// STUB: the BTSASCII protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps BtsasciiOps;
const ProtocolOps BtsasciiOps = {"BTSASCII", nullptr, nullptr, nullptr};
