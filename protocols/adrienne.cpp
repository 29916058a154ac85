// STUB: the ADRIENNE protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps AdrienneOps;
const ProtocolOps AdrienneOps = {"ADRIENNE", nullptr, nullptr, nullptr};
