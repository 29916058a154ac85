// A post to one window of another program, from any thread: written on a
// connection kept for posts to that window, nothing awaited.
#include "platform/businternal.h"

#include "platform/bussocket.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace {

// Writes a post on the kept post connection to the target (made on first
// use, made again once when the peer has closed it).  Called with TheBus.lock.
bool WritePostLocked(HWND target, const BusFrame &f, int64_t deadline)
{
    bool fresh = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = KeptFind(&TheBus.postConns, target);
        bool made = false;
        int reason = EAGAIN;
        while (fd < 0 && reason == EAGAIN && BusNowMs() < deadline) {
            fd = BusConnect(TheBus.sharedDir, target, &reason);
            if (fd < 0 && reason == EAGAIN)
                poll(nullptr, 0, static_cast<int>(kBusBusyRetryMs));
            fresh = made = true;
        }
        if (fd < 0)
            return false;
        if (made)
            BusCloseEach(KeptPut(&TheBus.postConns, target, fd, BusBounds.maxKept));
        for (;;) {
            if (BusWriteFrame(fd, f) >= 0)
                return true;
            int err = errno;
            pollfd p{fd, POLLOUT, 0};
            int64_t left = deadline - BusNowMs();
            if (err != EAGAIN || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
        }
        KeptTake(&TheBus.postConns, target);
        close(fd);
        if (fresh)
            return false;
    }
    return false;
}

}  // namespace

bool BusPostFrame(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                  const uint8_t *block, uint32_t length)
{
    if (!TheBus.open || target == 0 || target == HWND_BROADCAST || length > kBusMaxBlock)
        return false;
    BusFrame f = BusMessageFrame(kBusKindPost, sender, target, code, wParam, lParam, block, length);
    f.sequence = TheBus.sequence++;
    std::lock_guard<std::mutex> g(TheBus.lock);
    BusPruneKept(&TheBus.postConns);
    return TheBus.open && WritePostLocked(target, f, BusNowMs() + kBusBoundMs);
}
