// STUB: the LEITCH router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimLeitch;
const SimProtocol SimLeitch = {"LEITCH", nullptr, nullptr, nullptr};
