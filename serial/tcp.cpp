// Raw TCP to a serial device server: the port's bytes go to and come from
// one TCP connection, unchanged (no Telnet or RFC 2217 negotiation; the
// server's own port settings apply).
#include "serial/device.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <csignal>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

namespace {

bool CopyPart(char *out, size_t size, const char *from, size_t length)
{
    if (length == 0 || length >= size)
        return false;
    std::memcpy(out, from, length);
    out[length] = 0;
    return true;
}

bool ValidService(const char *text)
{
    if (*text == 0 || std::strlen(text) > 5)
        return false;
    for (const char *c = text; *c; ++c)
        if (*c < '0' || *c > '9')
            return false;
    long number = std::strtol(text, nullptr, 10);
    return number >= 1 && number <= 65535;
}

// A server that vanished without closing (power cut, cable) is found by
// keepalive on an idle line and by the user timeout while we poll.
void TuneSocket(int fd)
{
    // Unacknowledged data for 60 s ends the connection: a device server that
    // lost power is noticed within a minute even while the driver polls
    // (keepalive alone only covers an idle line).
    int on = 1, idle = 30, interval = 10, count = 3;
    unsigned userTimeoutMs = 60000;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // frames are small and urgent
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

// Waits for a non-blocking connect to finish; false on failure, timeout or
// a wake-up.
bool AwaitConnect(int fd, int wakeFd, int timeoutMs)
{
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, POLLOUT, 0}};
    int ready;
    do
        ready = poll(fds, 2, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0 || fds[0].revents != 0 || fds[1].revents == 0)
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

int ConnectOne(const addrinfo *ai, int wakeFd, int timeoutMs)
{
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0)
        return -1;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 ||
        (errno == EINPROGRESS && AwaitConnect(fd, wakeFd, timeoutMs))) {
        TuneSocket(fd);
        return fd;
    }
    close(fd);
    return -1;
}


// Name resolution cannot be interrupted, and a resolver that waits for an
// unreachable name server would hold the reader (and with it CommClose, at
// shutdown) for as long as it likes.  So a name is resolved by a thread of
// its own, and the reader waits for it only as long as a connection attempt
// may take and CommClose lets it: a resolution given up on ends by itself
// and frees its record, whoever is last.
std::atomic<Resolver> ResolverInUse{getaddrinfo};

struct Resolution {
    DeviceAddress address;
    addrinfo *found = nullptr;
    int doneFd = -1;                // eventfd, written once the answer is in
    std::atomic<int32_t> done{0};   // the answer is in (found set)
    std::atomic<int32_t> owners{2}; // the reader and the resolving thread
};

void ReleaseResolution(Resolution *job)
{
    if (job->owners.fetch_sub(1) != 1)
        return;
    if (job->found)
        freeaddrinfo(job->found);
    close(job->doneFd);
    delete job;
}

void *ResolveMain(void *arg)
{
    Resolution *job = static_cast<Resolution *>(arg);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (ResolverInUse.load()(job->address.Host, job->address.Service, &hints, &found) != 0)
        found = nullptr;
    job->found = found;
    job->done.store(1);
    uint64_t one = 1;
    if (write(job->doneFd, &one, sizeof one) < 0) {
        // A fresh eventfd takes one count: cannot fail.
    }
    ReleaseResolution(job);
    return nullptr;
}

// An address written as numbers needs no resolver (and no thread).
bool NumericAddress(const DeviceAddress &address, addrinfo **found)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    return getaddrinfo(address.Host, address.Service, &hints, found) == 0;
}

// Resolves the host on a detached thread, waiting at most timeoutMs and
// giving up at once when wakeFd becomes readable.  True with *job (whose
// found list the caller uses and then releases) when the name resolved.
bool ResolveAside(const DeviceAddress &address, int wakeFd, int timeoutMs, Resolution **job)
{
    Resolution *r = new (std::nothrow) Resolution;
    if (!r)
        return false;
    r->address = address;
    r->doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);  // process signals stay with the main thread
    pthread_t thread;
    bool started = r->doneFd >= 0 && pthread_create(&thread, &attr, ResolveMain, r) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (!started) {
        if (r->doneFd >= 0)
            close(r->doneFd);
        delete r;
        return false;
    }
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {r->doneFd, POLLIN, 0}};
    int ready;
    do
        ready = poll(fds, 2, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready > 0 && fds[0].revents == 0 && r->done.load() != 0 && r->found) {
        *job = r;
        return true;
    }
    ReleaseResolution(r);  // the thread frees it when it ends
    return false;
}

}  // namespace

bool ParseTcpAddress(const char *text, DeviceAddress *address)
{
    if (strncasecmp(text, "tcp:", 4) != 0)
        return false;
    const char *host = text + 4;
    const char *colon;
    size_t hostLength;
    if (*host == '[') {  // an IPv6 literal
        const char *close = std::strchr(host, ']');
        if (!close || close[1] != ':')
            return false;
        ++host;
        hostLength = static_cast<size_t>(close - host);
        colon = close + 1;
    } else {
        colon = std::strrchr(host, ':');
        if (!colon)
            return false;
        hostLength = static_cast<size_t>(colon - host);
    }
    if (!ValidService(colon + 1) || !CopyPart(address->Host, sizeof address->Host, host, hostLength))
        return false;
    std::strcpy(address->Service, colon + 1);  // at most five digits: checked above
    address->Tcp = true;
    return true;
}

void SetResolverForTests(Resolver resolver) { ResolverInUse.store(resolver ? resolver : getaddrinfo); }

int TcpConnect(const DeviceAddress &address, int wakeFd, int timeoutMs)
{
    Resolution *job = nullptr;
    addrinfo *found = nullptr;
    if (!NumericAddress(address, &found) && !ResolveAside(address, wakeFd, timeoutMs, &job))
        return -1;
    if (job)
        found = job->found;
    int fd = -1;
    for (const addrinfo *ai = found; ai && fd < 0; ai = ai->ai_next)
        fd = ConnectOne(ai, wakeFd, timeoutMs);
    if (job)
        ReleaseResolution(job);
    else
        freeaddrinfo(found);
    return fd;
}
