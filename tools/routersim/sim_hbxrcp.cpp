// STUB: the HBXRCP router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimHbxrcp;
const SimProtocol SimHbxrcp = {"HBXRCP", nullptr, nullptr, nullptr};
