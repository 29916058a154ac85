// STUB: the SONY protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps SonyOps;
const ProtocolOps SonyOps = {"SONY", nullptr, nullptr, nullptr};
