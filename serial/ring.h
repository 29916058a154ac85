// The receive ring of one serial port: 16 KB written by the port's reader
// thread and read by the main thread, guarded by one binary semaphore that
// either side waits for at most 200 ms.
//
// There is no fill count and no full flag: the unread count is the distance
// from the read index to the write index, so the ring holds at most 16383
// unread bytes and an append that catches up with the read index makes the
// ring look empty.  An append never refuses bytes; falling behind loses the
// oldest ones (the append says so, so that the loss can be reported).
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

// Appends n bytes.  Returns false (nothing appended) when the guard could not
// be had in time.  *countChange receives the change of the unread count,
// which is less than n when unread bytes were overwritten; *overran is set
// when that happened.
bool RingAppend(RingBuffer *ring, const uint8_t *bytes, int n, int *countChange, bool *overran);
// Takes up to count unread bytes; 0 when empty or the guard was not had.
int RingTake(RingBuffer *ring, uint8_t *buffer, int count);
// The unread count; -1 when the guard was not had.
int RingCount(RingBuffer *ring);
