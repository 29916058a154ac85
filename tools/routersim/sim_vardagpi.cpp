// STUB: the VARDAGPI router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimVardagpi;
const SimProtocol SimVardagpi = {"VARDAGPI", nullptr, nullptr, nullptr};
