// A send to one window of another program: its connection (kept for the
// next send to the same window), the frame, and the wait for its reply.
#include "platform/businternal.h"

#include "platform/bussocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// A connection for one send: the kept one for the target, else a new one.
// A full queue is tried again until the deadline.
int TakeSendConnection(HWND target, int64_t deadline, bool *kept)
{
    int fd = KeptTake(&TheBus.idleSend, target);
    *kept = fd >= 0;
    if (fd >= 0)
        return fd;
    for (;;) {
        int reason = 0;
        fd = BusConnect(TheBus.dir, target, &reason);
        if (fd >= 0 || reason != EAGAIN || BusNowMs() >= deadline)
            return fd;
        BusWaitServing(-1, 0, std::min(deadline, BusNowMs() + kBusBusyRetryMs));
    }
}

// One idle connection per target is kept, and only the few most recently
// used: a program that sent to a thousand windows does not hold a
// thousand descriptors.
void KeepSendConnection(HWND target, int fd)
{
    BusPruneKept(&TheBus.idleSend);
    if (KeptFind(&TheBus.idleSend, target) >= 0)
        close(fd);
    else
        BusCloseEach(KeptPut(&TheBus.idleSend, target, fd, BusBounds.maxKept));
}

// Writes the frame of a send; a kept connection the peer has since closed is
// replaced by a new one once.
int WriteSend(HWND target, int fd, bool kept, const BusFrame &f, int64_t deadline)
{
    for (;;) {
        if (BusWriteFrame(fd, f) >= 0)
            return fd;
        int err = errno;
        if (err == EAGAIN && BusWaitServing(fd, POLLOUT, deadline))
            continue;
        close(fd);
        if (!kept || (err != EPIPE && err != ECONNRESET && err != ENOTCONN))
            return -1;
        kept = false;
        int reason = 0;
        fd = BusConnect(TheBus.dir, target, &reason);
        if (fd < 0)
            return -1;
    }
}

}  // namespace

void BusCloseEach(const std::vector<int> &fds)
{
    for (int fd : fds)
        close(fd);
}

// Kept connections whose peer has hung up (or sent something unasked, which
// no idle connection may carry) are closed, so that a long-lived program
// does not collect the connections of every program that came and went.
void BusPruneKept(KeptSet *set)
{
    std::vector<int> gone;
    std::erase_if(set->conns, [&](const KeptConn &k) {
        pollfd p{k.fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return false;
        gone.push_back(k.fd);
        return true;
    });
    BusCloseEach(gone);
}

// Reads one frame from our send's connection.  Only a reply with our
// sequence ends the wait; another reply is dropped; anything else, or a
// block of another length than ours, fails the send.
BusReplyState BusReadReply(int fd, const BusFrame &sent, uint8_t *block, bool copyBack,
                           LRESULT *result)
{
    ssize_t n = recv(fd, TheBus.rx.data(), TheBus.rx.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return BusReplyState::Waiting;
    BusFrame r;
    if (n <= 0 || !BusDecodeFrame(TheBus.rx.data(), static_cast<size_t>(n), &r) ||
        r.kind != kBusKindReply)
        return BusReplyState::Failed;
    if (r.sequence != sent.sequence)
        return BusReplyState::Waiting;
    if (r.length != sent.length)
        return BusReplyState::Failed;
    if (copyBack && r.length && std::memcmp(block, r.block, r.length) != 0)
        std::memcpy(block, r.block, r.length);
    *result = r.lParam;
    return BusReplyState::Done;
}

// A send to one window of another program: 0 when it has no socket, refuses,
// or does not answer within the bound.
LRESULT BusSendFrame(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                     uint8_t *block, uint32_t length, bool copyBack)
{
    if (!TheBus.open || target == 0 || target == HWND_BROADCAST || length > kBusMaxBlock)
        return 0;
    int64_t deadline = BusDeadlineFromNow();
    ++TheBus.depth;
    bool kept = false;
    BusFrame f = BusMessageFrame(kBusKindSend, sender, target, code, wParam, lParam, block, length);
    f.sequence = TheBus.sequence++;
    int fd = TakeSendConnection(target, deadline, &kept);
    if (fd >= 0)
        fd = WriteSend(target, fd, kept, f, deadline);
    LRESULT result = 0;
    BusReplyState state = fd >= 0 ? BusReplyState::Waiting : BusReplyState::Failed;
    while (state == BusReplyState::Waiting) {
        if (!BusWaitServing(fd, POLLIN, deadline))
            state = BusReplyState::Failed;
        else
            state = BusReadReply(fd, f, block, copyBack, &result);
    }
    if (state == BusReplyState::Done)
        KeepSendConnection(target, fd);
    else if (fd >= 0)
        close(fd);  // a late reply is lost with it
    --TheBus.depth;
    return state == BusReplyState::Done ? result : 0;
}
