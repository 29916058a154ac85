// STUB: the ADRIENNE router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimAdrienne;
const SimProtocol SimAdrienne = {"ADRIENNE", nullptr, nullptr, nullptr};
