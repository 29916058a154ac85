// The services the protocol files use: sending to the driver (or falling
// silent, or sending noise) and the one-line-per-event log on standard
// output.  Options and crosspoints are in simline.cpp, shared with the tests.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

#include "core.h"
#include "sim.h"

namespace {

int DeviceFd = -1;
uint32_t NoiseState = 1;
bool Batching = false;  // SimSend collects into Batch instead of writing
std::string Batch;
size_t BatchFrames = 0;

uint8_t NoiseByte()
{
    // xorshift32: reproducible noise for a given seed
    NoiseState ^= NoiseState << 13;
    NoiseState ^= NoiseState >> 17;
    NoiseState ^= NoiseState << 5;
    return static_cast<uint8_t>(NoiseState >> 24);
}

// Writes all of it, waiting a bounded time for room (patience waits of up
// to 100 ms each): a driver that does not read must not stall the simulator.
// False when it could not be written.
bool WriteAll(const uint8_t *bytes, size_t length, int patience = 10, bool noteWait = false)
{
    size_t done = 0;
    int waits = 0;
    while (done < length) {
        ssize_t n = write(DeviceFd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        if (++waits > patience)
            return false;
        if (noteWait && waits == 1)  // the line is full: the driver is not reading
            SimLog("BURST waits for room after %zu bytes", done);
        pollfd p{DeviceFd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    return true;
}

void LogBytes(const char *tag, const uint8_t *bytes, size_t length, bool asText)
{
    std::string line = tag;
    line += ' ';
    char hex[4];
    for (size_t i = 0; i < length; ++i) {
        if (asText) {
            line += static_cast<char>(bytes[i]);
            continue;
        }
        std::snprintf(hex, sizeof hex, i ? " %02x" : "%02x", bytes[i]);
        line += hex;
    }
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

void SimSetDevice(int fd) { DeviceFd = fd; }

void SimSeedNoise(unsigned seed) { NoiseState = seed ? seed : 1; }

void SimSend(SimRouter &r, const void *bytes, size_t length)
{
    const uint8_t *data = static_cast<const uint8_t *>(bytes);
    if (length == 0)
        return;
    if (r.silent || DeviceFd < 0) {  // silent, or nobody connected (TCP)
        SimLogFrame("DROP", data, length);
        return;
    }
    if (Batching && !r.garbage) {
        Batch.append(reinterpret_cast<const char *>(data), length);
        ++BatchFrames;
        return;
    }
    if (r.garbage) {
        std::string noise(length, '\0');
        for (auto &c : noise)
            c = static_cast<char>(NoiseByte());
        LogBytes("NOISE", reinterpret_cast<const uint8_t *>(noise.data()), length, false);
        WriteAll(reinterpret_cast<const uint8_t *>(noise.data()), length);
        return;
    }
    if (!WriteAll(data, length)) {
        SimLogFrame("DROP", data, length);
        return;
    }
    SimLogFrame("TX", data, length);
}

void SimBatchBegin()
{
    Batching = true;
    Batch.clear();
    BatchFrames = 0;
}

size_t SimBatchSize() { return Batch.size(); }

bool SimBatchEnd()
{
    Batching = false;
    if (Batch.empty())
        return true;
    // One write of the whole burst; the driver may be busy for a while
    // (held by a send of its own), so the room is waited for up to 30 s.
    bool sent = WriteAll(reinterpret_cast<const uint8_t *>(Batch.data()), Batch.size(), 300, true);
    SimLog("%s %zu bytes in %zu frames", sent ? "BURST" : "DROP burst", Batch.size(), BatchFrames);
    Batch.clear();
    return sent;
}

void SimLog(const char *format, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    std::fprintf(stdout, "%s\n", line);
    std::fflush(stdout);
}

void SimLogFrame(const char *tag, const void *bytes, size_t length)
{
    const uint8_t *data = static_cast<const uint8_t *>(bytes);
    size_t text = length;
    while (text > 0 && (data[text - 1] == '\r' || data[text - 1] == '\n'))
        --text;
    bool printable = text > 0;
    for (size_t i = 0; i < text && printable; ++i)
        printable = data[i] >= 0x20 && data[i] < 0x7F;
    if (printable)
        LogBytes(tag, data, text, true);
    else
        LogBytes(tag, data, length, false);
}
