// Text frames collected byte by byte, shared by the routers that speak lines.
#include "sim.h"

bool SimLineByte(std::string &line, uint8_t b, size_t maxLine, uint8_t end)
{
    if (b != end) {
        if (line.size() >= maxLine) {
            SimLogFrame("RX", line.data(), line.size());
            SimLog("BAD line too long");
            line.clear();
        }
        line += static_cast<char>(b);
        return false;
    }
    SimLogFrame("RX", line.data(), line.size());
    return true;
}
