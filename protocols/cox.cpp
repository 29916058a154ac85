// STUB: the COX protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps CoxOps;
const ProtocolOps CoxOps = {"COX", nullptr, nullptr, nullptr};
