// STUB: the SIMPLE router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimSimple;
const SimProtocol SimSimple = {"SIMPLE", nullptr, nullptr, nullptr};
