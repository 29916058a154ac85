// STUB: the BTSESSWITCH router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimBtsesswitch;
const SimProtocol SimBtsesswitch = {"BTSESSWITCH", nullptr, nullptr, nullptr};
