// STUB: the NETWORK router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimNetwork;
const SimProtocol SimNetwork = {"NETWORK", nullptr, nullptr, nullptr};
