// The message loop: posting, sending, timers, file events and idleness.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/loop.h"
#include "tests/support/support.h"

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    uint32_t tick;
};
std::vector<Seen> Log;
HWND Other = 0;

LRESULT Recorder(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    Log.push_back({message, wParam, lParam, GetTickCount()});
    return static_cast<LRESULT>(wParam) * 2;
}

// Answers 100 by sending to the other window first (a nested send).
LRESULT Nester(HWND, UINT message, WPARAM wParam, LPARAM)
{
    if (message == 100)
        return SendMessage(Other, 200, wParam + 1, 0) + 1;
    return 0;
}

struct LoopTest : ::testing::Test {
    void SetUp() override
    {
        LoopReset();
        Log.clear();
    }
    void TearDown() override { LoopReset(); }
    size_t CountOf(UINT message)
    {
        size_t n = 0;
        for (auto &s : Log)
            n += s.message == message;
        return n;
    }
};

}  // namespace

TEST_F(LoopTest, SendIsSynchronousAndNests)
{
    HWND a = CreateWindowProc(Nester, false);
    Other = CreateWindowProc(Recorder, false);
    ASSERT_NE(a, 0u);
    ASSERT_NE(a, HWND_BROADCAST);
    EXPECT_EQ(SendMessage(a, 100, 4, 0), 11);  // (4+1)*2 + 1
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(Log[0].message, 200u);
    EXPECT_EQ(SendMessage(0x1234, 1, 0, 0), 0);  // nobody there
}

TEST_F(LoopTest, PostedMessagesArriveInOrder)
{
    HWND w = CreateWindowProc(Recorder, false);
    for (WPARAM i = 0; i < 5; ++i)
        PostMessage(w, 300, i, 0);
    LoopRunOnce(0);
    ASSERT_EQ(Log.size(), 5u);
    for (WPARAM i = 0; i < 5; ++i)
        EXPECT_EQ(Log[i].wParam, i);
}

TEST_F(LoopTest, PostFromAnotherThreadWakesTheLoop)
{
    HWND w = CreateWindowProc(Recorder, false);
    std::thread t([w] {
        for (int i = 0; i < 100; ++i)
            PostMessage(w, WM_COMMNOTIFY, static_cast<WPARAM>(i), MAKELPARAM(0, 7));
    });
    auto deadline = GetTickCount() + 5000;
    while (CountOf(WM_COMMNOTIFY) < 100 && GetTickCount() < deadline)
        LoopRunOnce(1000);
    t.join();
    ASSERT_EQ(CountOf(WM_COMMNOTIFY), 100u);
    EXPECT_EQ(Log[99].wParam, 99u);
    EXPECT_EQ(HIWORD(static_cast<uintptr_t>(Log[0].lParam)), 7);
}

TEST_F(LoopTest, TimerPeriodRestartAndKill)
{
    HWND w = CreateWindowProc(Recorder, false);
    ASSERT_TRUE(SetTimer(w, 1, 20));
    EXPECT_EQ(TimerPeriod(w, 1), 20u);
    uint32_t start = GetTickCount();
    while (CountOf(WM_TIMER) < 3 && GetTickCount() - start < 5000)
        LoopRunOnce(1000);
    ASSERT_EQ(CountOf(WM_TIMER), 3u);
    EXPECT_GE(Log[2].tick - start, 60u);
    // Setting the same id again restarts it with the new period.
    SetTimer(w, 1, 30);
    EXPECT_EQ(TimerPeriod(w, 1), 30u);
    EXPECT_TRUE(KillTimer(w, 1));
    EXPECT_FALSE(TimerRunning(w, 1));
    size_t ticks = CountOf(WM_TIMER);
    LoopRunOnce(80);
    EXPECT_EQ(CountOf(WM_TIMER), ticks);
}

TEST_F(LoopTest, KilledTimerTickThatWaitsIsDropped)
{
    HWND w = CreateWindowProc(Recorder, false);
    SetTimer(w, 2, 10);
    MSG msg;
    // Let the tick become due, take it, kill the timer, then dispatch.
    while (!GetMessage(&msg)) {
    }
    ASSERT_EQ(msg.message, WM_TIMER);
    KillTimer(w, 2);
    DispatchMessage(&msg);
    EXPECT_EQ(CountOf(WM_TIMER), 0u);
}

namespace {

// A pipe whose read end the loop watches; seen counts the bytes it served.
struct WatchedPipe {
    int fds[2] = {-1, -1};
    static inline int seen = 0;
    WatchedPipe()
    {
        EXPECT_EQ(pipe(fds), 0);
        seen = 0;
        LoopAddFd(fds[0], [](int fd, void *) {
            char c;
            if (read(fd, &c, 1) == 1)
                ++seen;
        }, nullptr);
    }
    ~WatchedPipe()
    {
        LoopRemoveFd(fds[0]);
        close(fds[0]);
        close(fds[1]);
    }
    bool Write() { return write(fds[1], "x", 1) == 1; }
};

}  // namespace

TEST_F(LoopTest, FileEventsAreServed)
{
    WatchedPipe p;
    ASSERT_TRUE(p.Write());
    LoopRunOnce(1000);
    EXPECT_EQ(p.seen, 1);
}

// A pump woken by a due timer alone still reaches ready descriptors.
TEST_F(LoopTest, RunOnceServesDescriptorsWhenMessagesWereQueued)
{
    WatchedPipe p;
    HWND w = CreateWindowProc(Recorder, false);
    PostMessage(w, 400, 1, 0);
    ASSERT_TRUE(p.Write());
    LoopRunOnce(0);
    EXPECT_EQ(p.seen, 1);
}

// A message that posts itself again whenever it is handled (a port's drain
// that never catches up) keeps the queue full for ever: descriptors and
// timers are still served, within a few milliseconds.
LRESULT Reposter(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == 500)
        PostMessage(w, 500, 0, 0);
    return Recorder(w, message, wParam, lParam);
}

TEST_F(LoopTest, SelfRefillingQueueDoesNotStarveDescriptorsOrTimers)
{
    WatchedPipe p;
    HWND w = CreateWindowProc(Reposter, false);
    ASSERT_TRUE(SetTimer(w, 9, 20));
    PostMessage(w, 500, 0, 0);
    ASSERT_TRUE(p.Write());
    uint32_t start = GetTickCount();
    MSG msg;
    while ((p.seen == 0 || CountOf(WM_TIMER) < 2) && GetTickCount() - start < 2000 && GetMessage(&msg))
        DispatchMessage(&msg);
    EXPECT_EQ(p.seen, 1);
    EXPECT_GE(CountOf(WM_TIMER), 2u);
    EXPECT_LT(GetTickCount() - start, 500u);
    EXPECT_GT(CountOf(500), 10u) << "the queue was busy all along";
}

// The same queue under a foreign pump (the window's): each round returns
// and the descriptor is served, however busy the queue stays.
TEST_F(LoopTest, SelfRefillingQueueLetsRunOnceReturn)
{
    WatchedPipe p;
    HWND w = CreateWindowProc(Reposter, false);
    PostMessage(w, 500, 0, 0);
    ASSERT_TRUE(p.Write());
    uint32_t start = GetTickCount();
    for (int round = 0; round < 3; ++round)
        LoopRunOnce(0);
    EXPECT_EQ(p.seen, 1);
    EXPECT_LT(GetTickCount() - start, 500u);
}

TEST_F(LoopTest, IdleLoopStaysAsleep)
{
    CreateWindowProc(Recorder, false);
    uint64_t before = LoopWakeups();
    std::atomic<bool> done{false};
    // Quit from another thread after a while; the loop must not wake before.
    std::thread t([&] {
        usleep(300000);
        done = true;
        PostQuitMessage(0);
    });
    int code = LoopRun();
    t.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(code, 0);
    EXPECT_LE(LoopWakeups() - before, 1u);
}

TEST_F(LoopTest, QuitCodeAndQueuedMessagesFirst)
{
    HWND w = CreateWindowProc(Recorder, false);
    PostMessage(w, 400, 1, 0);
    PostQuitMessage(3);
    EXPECT_EQ(LoopRun(), 3);
    EXPECT_EQ(CountOf(400), 1u);
}
