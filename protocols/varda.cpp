// STUB: the VARDA protocols are not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps VardartrOps;
extern const ProtocolOps VardagpiOps;
const ProtocolOps VardartrOps = {"VARDARTR", nullptr, nullptr, nullptr};
const ProtocolOps VardagpiOps = {"VARDAGPI", nullptr, nullptr, nullptr};
