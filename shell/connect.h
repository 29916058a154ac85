// The start-up wiring of the layers: each lower layer owns a few hooks for
// what it sets off above it (a tally change, a received byte, a failed
// port...), and this registers the upper layers' functions with them.
#pragma once

// Registers every hook; StartDriver runs it first, and every test program
// runs it before its tests (tests/support/connect.cpp).  Idempotent.
void ConnectLayers();
