// The receive ring of one serial port: 16 KB written by the port's reader
// thread and read by the main thread, guarded by one binary semaphore that
// either side waits for at most 200 ms.
//
// There is no fill count and no full flag: the unread count is the distance
// from the read index to the write index, so the ring holds at most 16383
// unread bytes.  An append takes only what fits and never overwrites unread
// bytes: the reader asks for the free room first and reads no more than that
// from its device, so what does not fit waits in the kernel.
#pragma once
#include "serial/comms.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A semaphore of count one with a bounded wait.  (std::timed_mutex would do
// the same, but its timed wait is pthread_mutex_clocklock, which the thread
// sanitizer of our toolchain does not see: it would report every ring access
// as a race.)
struct RingGuard {
    std::mutex Lock;
    std::condition_variable Freed;
    bool Held = false;
};

struct RingBuffer {
    uint8_t Data[kRingSize] = {};
    int32_t WriteIndex = 0;  // where the next received byte goes
    int32_t ReadIndex = 0;   // the next byte to hand out
    RingGuard Guard;         // guards both indices and the data
};

// How long either side waits for the ring's guard.
constexpr int kRingWaitMs = 200;

// Takes the guard, waiting at most kRingWaitMs; false when not had.
bool RingLock(RingBuffer *ring);
void RingUnlock(RingBuffer *ring);

// Appends up to n bytes, as many as there is room for (kRingSize - 1 minus
// the unread count): the number appended, or -1 (nothing appended) when the
// guard could not be had in time.
int RingAppend(RingBuffer *ring, const uint8_t *bytes, int n);
// Takes up to count unread bytes; 0 when empty or the guard was not had.
// *left (if given) receives the unread count after the take.
int RingTake(RingBuffer *ring, uint8_t *buffer, int count, int *left = nullptr);
// The free room, kRingSize - 1 minus the unread count; -1 when the guard
// was not had.
int RingRoom(RingBuffer *ring);
// The unread count; -1 when the guard was not had.
int RingCount(RingBuffer *ring);
