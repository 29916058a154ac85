// STUB: the LEITCH protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps LeitchOps;
const ProtocolOps LeitchOps = {"LEITCH", nullptr, nullptr, nullptr};
