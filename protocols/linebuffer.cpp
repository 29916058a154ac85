#include "protocols/linebuffer.h"

#include <climits>
#include <cstring>

#include "protocols/protocol.h"
#include "serial/ports.h"

namespace {
constexpr uint8_t kCR = 0x0D;
}

bool LineStore(int port, uint8_t byte)
{
    if (port < 1 || port > kMaxPorts)
        return false;
    int32_t &count = Proto.RxCount[port];
    if (count < 0 || count >= kLineMax)
        count = 0;
    Proto.RxBuffer[port][count] = byte;
    if (++count == kLineMax)
        count = 0;
    return byte == kCR;
}

int LineTake(int port, char lead, char *line)
{
    const uint8_t *buffer = Proto.RxBuffer[port];
    const void *at = std::memchr(buffer, lead, kLineMax - 1);
    if (at == nullptr)
        return -1;
    int start = static_cast<int>(static_cast<const uint8_t *>(at) - buffer);
    int length = 0;
    for (int i = start; length < kLineMax; i = (i + 1) % kLineMax) {
        line[length++] = static_cast<char>(buffer[i]);
        if (buffer[i] == kCR)
            break;
    }
    line[length] = 0;
    return length;
}

void LineDone(int port)
{
    std::memset(Proto.RxBuffer[port], 0, kLineMax - 1);
    Proto.RxCount[port] = 0;
    Ports.NoReply[port] = 0;
}

int ReadLineDecimal(const char *text, int at, int32_t *value)
{
    while (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))
        ++at;
    bool negative = text[at] == '-';
    if (text[at] == '-' || text[at] == '+')
        ++at;
    if (text[at] < '0' || text[at] > '9')
        return -1;
    int64_t v = 0;
    for (; text[at] >= '0' && text[at] <= '9'; ++at)
        if (v <= INT32_MAX)
            v = v * 10 + (text[at] - '0');
    if (v > INT32_MAX)
        v = INT32_MAX;
    *value = static_cast<int32_t>(negative ? -v : v);
    return at;
}
