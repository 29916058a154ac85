// STUB: the SONY router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimSony;
const SimProtocol SimSony = {"SONY", nullptr, nullptr, nullptr};
