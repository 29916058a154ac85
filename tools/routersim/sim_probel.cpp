// STUB: the PROBEL router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimProbel;
const SimProtocol SimProbel = {"PROBEL", nullptr, nullptr, nullptr};
