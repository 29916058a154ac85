// STUB: the PESA protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps PesaOps;
const ProtocolOps PesaOps = {"PESA", nullptr, nullptr, nullptr};
