// STUB: the COX router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimCox;
const SimProtocol SimCox = {"COX", nullptr, nullptr, nullptr};
