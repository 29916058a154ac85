// The measurements (benchmarks.cpp), driven by main.cpp.
#pragma once
#include "bench/bench.h"

// The HBXRCP device: one port, 16 sources, 32 destinations.
constexpr int32_t kHbxSources = 16;
constexpr int32_t kHbxDests = 32;

struct RouteSamples {
    std::vector<int64_t> route, tally;            // the driver's
    std::vector<int64_t> floorRoute, floorTally;  // bus round trip + pty write-to-read
    std::vector<int64_t> rtt, ptyDown, ptyUp;     // the floor's parts
    uint32_t lost = 0;                            // routes or tallies that never came
};

struct BatchSamples {
    std::vector<int64_t> driver, floor;
};

// Waits for the end of the start-up sweep and the first route that goes through.
bool WaitHbxReady(int32_t dests, std::string *error);
bool WaitSimReady(int32_t dests, std::string *error);
// Route and tally latency beside their floor, one route after the other.
bool MeasureRoutes(int warmup, int count, RouteSamples *out);
// RQ over every destination beside the same texts sent by the bare peer.
bool MeasureBatches(int warmup, int count, int32_t dests, BatchSamples *out);
ThroughputRow MeasureHbxThroughput(uint32_t count);
ThroughputRow MeasureSimThroughput(uint32_t count, int32_t dests, int32_t sources);
// Seconds for count back-to-back command sends to the bare peer.
double MeasureBareSends(uint32_t count);
