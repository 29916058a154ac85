// STUB: the QUARTZ router is not simulated yet.
#include "sim.h"
extern const SimProtocol SimQuartz;
const SimProtocol SimQuartz = {"QUARTZ", nullptr, nullptr, nullptr};
