// STUB: the QUARTZ protocol is not built yet.
#include "protocols/protocol.h"
extern const ProtocolOps QuartzOps;
const ProtocolOps QuartzOps = {"QUARTZ", nullptr, nullptr, nullptr};
