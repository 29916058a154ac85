#include "sim.h"

extern const SimProtocol SimHbxrcp, SimProbel, SimSimple, SimCox, SimVistek, SimNtpeq,
    SimVardartr, SimVardagpi, SimBtsascii, SimQuartz, SimBtsesswitch, SimNetwork, SimLeitch,
    SimAdrienne, SimPesa, SimSony;

const SimProtocol *const SimTable[17] = {
    nullptr,     &SimHbxrcp,      &SimProbel,  &SimSimple, &SimCox,      &SimVistek,
    &SimNtpeq,   &SimVardartr,    &SimVardagpi, &SimBtsascii, &SimQuartz, &SimBtsesswitch,
    &SimNetwork, &SimLeitch,      &SimAdrienne, &SimPesa,  &SimSony,
};
