// The simulator's pure services, shared by the routersim program and the
// in-process router of the unit tests: text frames collected byte by byte,
// decimal numbers read from them, options and crosspoints.  Nothing here
// touches the device or writes a log line of its own beyond SimLogFrame and
// SimLog, which each side provides.
#include <cstring>

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

bool SimLineFrame(std::string &line, uint8_t b, size_t maxLine, char start, const char *what,
                  std::string *frame)
{
    if (!SimLineByte(line, b, maxLine))
        return false;
    size_t at = line.find(start);
    bool found = at != std::string::npos;
    if (found)
        *frame = line.substr(at);
    else
        SimLog("BAD no %s", what);
    line.clear();
    return found;
}

int SimNumber(const std::string &text, size_t *at)
{
    int value = 0, digits = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && digits < 6) {
        value = value * 10 + (text[*at] - '0');
        ++*at;
        ++digits;
    }
    return digits ? value : -1;
}

void SimSendText(SimRouter &r, const std::string &text) { SimSend(r, text.data(), text.size()); }

std::string SimOption(const SimRouter &r, const char *key)
{
    size_t n = std::strlen(key);
    std::string value;
    for (const auto &option : r.options)  // the last one given wins
        if (option.size() > n && option.compare(0, n, key) == 0 && option[n] == '=')
            value = option.substr(n + 1);
    return value;
}

int SimXpt(const SimRouter &r, int level, int dest)
{
    if (level < 0 || level >= static_cast<int>(r.xpt.size()))
        return -1;
    const auto &row = r.xpt[static_cast<size_t>(level)];
    if (dest < 1 || dest >= static_cast<int>(row.size()))
        return -1;
    return row[static_cast<size_t>(dest)];
}

bool SimSetXpt(SimRouter &r, int level, int dest, int source)
{
    if (level < 0 || level >= static_cast<int>(r.xpt.size()))
        return false;
    auto &row = r.xpt[static_cast<size_t>(level)];
    if (dest < 1 || dest >= static_cast<int>(row.size()))
        return false;
    row[static_cast<size_t>(dest)] = source;
    return true;
}
