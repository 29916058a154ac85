// STUB: the BTSASCII router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimBtsascii;
const SimProtocol SimBtsascii = {"BTSASCII", nullptr, nullptr, nullptr};
