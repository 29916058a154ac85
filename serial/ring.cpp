#include "serial/ring.h"

#include <chrono>

namespace {

int UnreadOf(const RingBuffer *ring)
{
    int diff = ring->WriteIndex - ring->ReadIndex;
    return diff < 0 ? diff + kRingSize : diff;
}

}  // namespace

bool RingLock(RingBuffer *ring)
{
    RingGuard &g = ring->Guard;
    std::unique_lock<std::mutex> lock(g.Lock);
    if (!g.Freed.wait_for(lock, std::chrono::milliseconds(kRingWaitMs), [&] { return !g.Held; }))
        return false;
    g.Held = true;
    return true;
}

void RingUnlock(RingBuffer *ring)
{
    RingGuard &g = ring->Guard;
    {
        std::lock_guard<std::mutex> lock(g.Lock);
        g.Held = false;
    }
    g.Freed.notify_one();
}

int RingAppend(RingBuffer *ring, const uint8_t *bytes, int n)
{
    if (n <= 0)
        return 0;
    if (!RingLock(ring))
        return -1;
    int room = kRingSize - 1 - UnreadOf(ring);
    int count = n < room ? n : room;
    int w = ring->WriteIndex;
    for (int i = 0; i < count; ++i) {
        ring->Data[w] = bytes[i];
        w = (w + 1) % kRingSize;
    }
    ring->WriteIndex = w;
    RingUnlock(ring);
    return count;
}

int RingTake(RingBuffer *ring, uint8_t *buffer, int count, int *left)
{
    if (left)
        *left = 0;
    if (count <= 0 || !RingLock(ring))
        return 0;
    int taken = 0;
    int r = ring->ReadIndex;
    while (taken < count && r != ring->WriteIndex) {
        buffer[taken++] = ring->Data[r];
        r = (r + 1) % kRingSize;
    }
    ring->ReadIndex = r;
    if (left)
        *left = UnreadOf(ring);
    RingUnlock(ring);
    return taken;
}

int RingRoom(RingBuffer *ring)
{
    int unread = RingCount(ring);
    return unread < 0 ? -1 : kRingSize - 1 - unread;
}

int RingCount(RingBuffer *ring)
{
    if (!RingLock(ring))
        return -1;
    int unread = UnreadOf(ring);
    RingUnlock(ring);
    return unread;
}
