// STUB: the NTPEQ router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimNtpeq;
const SimProtocol SimNtpeq = {"NTPEQ", nullptr, nullptr, nullptr};
