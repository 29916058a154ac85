// STUB: the NTPEQ protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps NtpeqOps;
const ProtocolOps NtpeqOps = {"NTPEQ", nullptr, nullptr, nullptr};
