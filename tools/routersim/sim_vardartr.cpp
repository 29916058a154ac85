// STUB: the VARDARTR router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimVardartr;
const SimProtocol SimVardartr = {"VARDARTR", nullptr, nullptr, nullptr};
