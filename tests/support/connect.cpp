// Linked into every test program as an object of its own: wires the layers
// before any test runs, as StartDriver does in the driver, so that a test
// of one module sees the same calls into the layers above as the program.
#include "shell/connect.h"

namespace {

const bool Connected = (ConnectLayers(), true);

}  // namespace
