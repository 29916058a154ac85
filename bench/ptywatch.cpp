// The router's end of the driver's serial line and a spare pseudo-terminal
// for the floor, all watched by one reader thread.  The reader stamps each
// line with the moment its first byte was seen readable, answers the
// driver's HBXRCP interrogates from the router's crosspoints (".IA12,-" is
// answered ".AA12,5") and, when asked to, answers set commands too (".SA12,5"
// is answered ".AA12,5"), as a router on the line would.
#include "bench/bench.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

WatchState Watch;

namespace {

constexpr size_t kMaxLine = 512;  // a longer "line" is noise and is dropped

bool MakeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool SetNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A raw pair: the master, and the slave opened as well (both non-blocking).
bool OpenPair(int *master, int *slave, std::string *slavePath, std::string *error)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0 ||
        ptsname_r(*master, name, sizeof name) != 0) {
        *error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    *slave = open(name, O_RDWR | O_NOCTTY);
    if (*slave < 0 || !MakeRaw(*slave) || !MakeRaw(*master) || !SetNonBlocking(*master) ||
        !SetNonBlocking(*slave)) {
        *error = std::string("pseudo-terminal slave ") + name + ": " + std::strerror(errno);
        return false;
    }
    *slavePath = name;
    return true;
}

bool WriteAll(int fd, const char *data, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w > 0) {
            data += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out{fd, POLLOUT, 0};
            if (poll(&out, 1, 1000) == 0)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// Reads "<letter><dest>,<source or ->" after the two leading characters.
bool ParseEntry(const std::string &text, char *letter, int32_t *d, int32_t *s)
{
    if (text.size() < 6)
        return false;
    *letter = text[2];
    char *end = nullptr;
    long dest = std::strtol(text.c_str() + 3, &end, 10);
    if (end == nullptr || *end != ',' || dest < 1 || dest > kBenchMaxDest)
        return false;
    *d = static_cast<int32_t>(dest);
    *s = end[1] == '-' ? -1 : static_cast<int32_t>(std::strtol(end + 1, nullptr, 10));
    return true;
}

// A set (s >= -1) changes the crosspoint first; an interrogate (s = kAsk)
// reports it as it stands when the line goes out.
constexpr int32_t kAsk = -2;

uint64_t BurstBytes = 0;  // reader thread only: answer bytes written since it woke

void Answer(char letter, int32_t d, int32_t s)
{
    std::lock_guard<std::mutex> g(Watch.wireLock);
    if (s == kAsk)
        s = Watch.xpt[d];
    else
        Watch.xpt[d] = s;
    char line[40];
    int n = s < 0 ? std::snprintf(line, sizeof line, ".A%c%d,-\r", letter, d)
                  : std::snprintf(line, sizeof line, ".A%c%d,%d\r", letter, d, s);
    WriteAll(Watch.ends[kRouterEnd].fd, line, static_cast<size_t>(n));
    BurstBytes += static_cast<uint64_t>(n);
}

// What the router does with a line from the driver.
void RouterLine(const Frame &frame)
{
    const std::string &t = frame.text;
    char letter = 0;
    int32_t d = 0;
    int32_t s = 0;
    if (t.size() < 2 || t[0] != '.' || !ParseEntry(t, &letter, &d, &s))
        return;
    if (t[1] == 'I') {
        Answer(letter, d, kAsk);
    } else if (t[1] == 'S') {
        Watch.lastSetNs = frame.firstByteNs;
        ++Watch.setsSeen;
        if (Watch.answerSets)
            Answer(letter, d, s < -1 ? -1 : s);
    }
}

void TakeLine(PtyEndId id, Frame &&frame)
{
    PtyEnd &end = Watch.ends[id];
    if (id == kRouterEnd)
        RouterLine(frame);
    if (!end.keep)
        return;
    {
        std::lock_guard<std::mutex> g(end.lock);
        end.frames.push_back(std::move(frame));
    }
    end.ready.notify_one();
}

// Drains one readable end; every byte read now was readable at `seenNs`.
void ReadEnd(PtyEndId id, int64_t seenNs)
{
    PtyEnd &end = Watch.ends[id];
    char buf[4096];
    BurstBytes = 0;
    for (;;) {
        ssize_t n = read(end.fd, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (end.partial.empty())
                end.partialStart = seenNs;
            end.partial.push_back(buf[i]);
            if (buf[i] == '\r') {
                TakeLine(id, Frame{end.partialStart, std::move(end.partial)});
                end.partial.clear();
            } else if (end.partial.size() > kMaxLine) {
                end.partial.clear();
            }
        }
    }
    if (BurstBytes > Watch.maxAnswerBurst)
        Watch.maxAnswerBurst = BurstBytes;
}

void ReaderMain()
{
    bool dead[kPtyEnds] = {};
    for (;;) {
        pollfd fds[kPtyEnds + 1];
        fds[0] = {Watch.wakeFd, POLLIN, 0};
        for (int i = 0; i < kPtyEnds; ++i)
            fds[i + 1] = {dead[i] ? -1 : Watch.ends[i].fd, POLLIN, 0};
        int ready = poll(fds, kPtyEnds + 1, -1);
        int64_t seen = NowNs();
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds[0].revents != 0)
            return;
        for (int i = 0; i < kPtyEnds; ++i) {
            if (fds[i + 1].revents & POLLIN)
                ReadEnd(static_cast<PtyEndId>(i), seen);
            else if (fds[i + 1].revents & (POLLHUP | POLLERR | POLLNVAL))
                dead[i] = true;  // a dead end would wake us without end
        }
    }
}

}  // namespace

int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool WatchStart(std::string *error)
{
    for (auto &x : Watch.xpt)
        x = -1;
    std::string unused;
    if (!OpenPair(&Watch.ends[kRouterEnd].fd, &Watch.routerSlave, &Watch.routerSlavePath, error) ||
        !OpenPair(&Watch.ends[kFloorMaster].fd, &Watch.ends[kFloorSlave].fd, &unused, error))
        return false;
    Watch.wakeFd = eventfd(0, EFD_CLOEXEC);
    if (Watch.wakeFd < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    Watch.reader = std::thread(ReaderMain);
    return true;
}

void WatchStop()
{
    if (Watch.reader.joinable()) {
        uint64_t one = 1;
        if (write(Watch.wakeFd, &one, sizeof one) < 0)
            std::perror("eventfd");
        Watch.reader.join();
    }
    for (auto &end : Watch.ends)
        if (end.fd >= 0)
            close(end.fd);
    if (Watch.routerSlave >= 0)
        close(Watch.routerSlave);
    if (Watch.wakeFd >= 0)
        close(Watch.wakeFd);
}

bool WaitFrame(PtyEndId id, const std::string &want, int64_t deadlineNs, Frame *out)
{
    PtyEnd &end = Watch.ends[id];
    std::unique_lock<std::mutex> g(end.lock);
    for (;;) {
        while (!end.frames.empty()) {
            Frame f = std::move(end.frames.front());
            end.frames.pop_front();
            if (f.text == want) {
                *out = std::move(f);
                return true;
            }
        }
        int64_t left = deadlineNs - NowNs();
        if (left <= 0)
            return false;
        end.ready.wait_for(g, std::chrono::nanoseconds(left));
    }
}

void DropFrames(PtyEndId id)
{
    std::lock_guard<std::mutex> g(Watch.ends[id].lock);
    Watch.ends[id].frames.clear();
}

std::deque<Frame> TakeFrames(PtyEndId id)
{
    std::lock_guard<std::mutex> g(Watch.ends[id].lock);
    std::deque<Frame> taken;
    taken.swap(Watch.ends[id].frames);
    return taken;
}

int64_t RouterTally(int32_t d, int32_t s)
{
    char line[40];
    int n = std::snprintf(line, sizeof line, ".AA%d,%d\r", d, s);
    std::lock_guard<std::mutex> g(Watch.wireLock);
    Watch.xpt[d] = s;
    int64_t t = NowNs();
    WriteAll(Watch.ends[kRouterEnd].fd, line, static_cast<size_t>(n));
    return t;
}

int64_t WriteLine(int fd, const std::string &line)
{
    int64_t t = NowNs();
    WriteAll(fd, line.data(), line.size());
    return t;
}
