// STUB: the VISTEK router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimVistek;
const SimProtocol SimVistek = {"VISTEK", nullptr, nullptr, nullptr};
