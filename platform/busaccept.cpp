// The connections other programs open to our windows: accepting them
// within the limits of the connection table (platform/busconn.h), reading
// their frames and answering their sends, closing them when idle.
#include "platform/businternal.h"

#include "platform/bussocket.h"
#include "platform/loop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr uint32_t kResumeMs = 250;

void OnAcceptedReady(int fd, void *)
{
    BusServeConnection(fd);
}

// Accepted connections never take more than half the descriptors we may
// open, so that the program's files and ports always find one.
size_t MaxAccepted()
{
    rlimit r{};
    size_t cap = BusBounds.maxAccepted;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
        cap = std::min<size_t>(cap, std::max<size_t>(r.rlim_cur / 2, 4));
    return cap;
}

// Out of descriptors with a connection waiting: the longest-idle accepted
// connection makes room for it; with none, the reserve descriptor is given
// up to accept the newcomer and close it at once; failing that the
// listener rests for a while.  Level-triggered readiness would otherwise
// spin on the waiting connection.  False: stop accepting for now.
bool MakeRoom(BusListener *l)
{
    int idle = ConnLongestIdle(TheBus.conns);
    if (idle >= 0) {
        BusCloseAccepted(idle);
        return true;
    }
    if (TheBus.reserveFd >= 0) {
        close(TheBus.reserveFd);
        int fd = accept4(l->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            close(fd);
        TheBus.reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (TheBus.reserveFd >= 0)
            return true;
    }
    LoopRemoveFd(l->fd);
    l->paused = true;
    BusEnsureCourier();
    SetTimer(TheBus.courier, kBusResumeTimer, kResumeMs);
    return false;
}

// Takes a newcomer in, making room by the limits of the connection table.
void TakeConnection(int fd, HWND window)
{
    pid_t peer = 0;
    if (!BusPeerTrusted(fd, &peer)) {
        close(fd);  // before anything is read or written
        return;
    }
    int victim = ConnToEvict(TheBus.conns, peer, MaxAccepted());
    if (victim == -2) {
        close(fd);
        return;
    }
    if (victim >= 0)
        BusCloseAccepted(victim);
    AcceptedConn c;
    c.window = window;
    c.serial = TheBus.conns.nextSerial++;
    c.peer = peer;
    c.lastActive = BusNowMs();
    TheBus.conns.accepted[fd] = c;
    if (!LoopAddFd(fd, OnAcceptedReady, nullptr)) {
        BusCloseAccepted(fd);
        return;
    }
    BusEnsureCourier();
    auto period = static_cast<uint32_t>(std::clamp<int64_t>(BusBounds.idleMs / 4, 10, 60000));
    if (TimerPeriod(TheBus.courier, kBusSweepTimer) != period)
        SetTimer(TheBus.courier, kBusSweepTimer, period);
}

}  // namespace

void BusCloseAccepted(int fd)
{
    if (TheBus.conns.accepted.erase(fd) == 0)
        return;
    LoopRemoveFd(fd);
    close(fd);
}

// A connection with a frame just arrived is not idle, whatever its clock
// says: it is served rather than closed under its sender.
void BusCloseIdleAccepted()
{
    for (int fd : ConnsIdle(TheBus.conns, BusNowMs())) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 0)
            BusCloseAccepted(fd);
    }
    if (TheBus.conns.accepted.empty())
        KillTimer(TheBus.courier, kBusSweepTimer);
}

// After running out of descriptors the listeners are listened to again.
void BusResumeListeners()
{
    KillTimer(TheBus.courier, kBusResumeTimer);
    if (TheBus.reserveFd < 0)
        TheBus.reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (auto &l : TheBus.listeners) {
        if (l.paused && LoopAddFd(l.fd, BusOnListenerReady, nullptr))
            l.paused = false;
    }
}

// Reads one frame from a connection we accepted and acts on it.
void BusServeConnection(int fd)
{
    auto it = TheBus.conns.accepted.find(fd);
    if (it == TheBus.conns.accepted.end())
        return;
    ssize_t n = recv(fd, TheBus.rx.data(), TheBus.rx.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    BusFrame f;
    if (n <= 0 || !BusDecodeFrame(TheBus.rx.data(), static_cast<size_t>(n), &f) ||
        f.kind == kBusKindReply || f.target != it->second.window) {
        BusCloseAccepted(fd);
        return;
    }
    it->second.lastActive = BusNowMs();
    AcceptedConn conn = it->second;
    if (f.kind == kBusKindPost) {
        BusQueuePost(fd, conn, f);
        return;
    }
    std::vector<uint8_t> copy;
    bool hasCopy = BusCopyBlock(f.block, f.length, f.code, &copy);
    ++it->second.busy;
    LRESULT result = BusDeliver(f.sender, f.target, f.code, f.wParam, f.lParam,
                                hasCopy ? copy.data() : nullptr, f.length);
    auto again = TheBus.conns.accepted.find(fd);
    if (again == TheBus.conns.accepted.end() || again->second.serial != conn.serial)
        return;  // closed while the procedure ran
    --again->second.busy;
    // a reply that cannot be written is lost quietly
    BusWriteFrame(fd, BusReplyFrame(f, result, copy.data()));
}

void BusAcceptAll(int listenFd)
{
    auto it = std::find_if(TheBus.listeners.begin(), TheBus.listeners.end(),
                           [&](const BusListener &l) { return l.fd == listenFd; });
    if (it == TheBus.listeners.end() || it->paused)
        return;
    for (;;) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            TakeConnection(fd, it->window);
            continue;
        }
        // accept fails for want of a descriptor even with nobody waiting
        pollfd waiting{listenFd, POLLIN, 0};
        if ((errno != EMFILE && errno != ENFILE) || poll(&waiting, 1, 0) <= 0 || !MakeRoom(&*it))
            return;
    }
}

void BusOnListenerReady(int fd, void *)
{
    BusAcceptAll(fd);
}

bool BusIsListener(int fd)
{
    return std::any_of(TheBus.listeners.begin(), TheBus.listeners.end(),
                       [&](const BusListener &l) { return l.fd == fd; });
}
