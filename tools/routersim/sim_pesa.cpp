// STUB: the PESA router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimPesa;
const SimProtocol SimPesa = {"PESA", nullptr, nullptr, nullptr};
