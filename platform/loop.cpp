// The message loop: an epoll set holding an eventfd (the post queue's
// doorbell) and any descriptors the bus or the serial layer hang on it;
// timers are kept in a small table and bound the epoll wait.
#include "platform/loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

struct Window {
    WNDPROC proc = nullptr;
    bool addressable = false;
};

struct Timer {
    HWND window;
    uintptr_t id;
    uint32_t period;
    uint64_t due;  // in ms on the monotonic clock
};

struct FdEntry {
    FdHandler fn;
    void *arg;
};

struct LoopState {
    int epfd = -1;
    int doorbell = -1;
    std::mutex lock;                     // guards windows and queue
    std::unordered_map<HWND, Window> windows;
    std::deque<MSG> queue;
    bool quit = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    std::unordered_map<int, FdEntry> fds;
    const LoopRemoteHooks *hooks = nullptr;
    uint64_t wakeups = 0;
    uint64_t lastLook = 0;  // when descriptors were last looked at
    std::mt19937 rng{std::random_device{}()};
};

LoopState L;

uint64_t NowMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void EnsureOpen()
{
    if (L.epfd >= 0)
        return;
    L.epfd = epoll_create1(EPOLL_CLOEXEC);
    L.doorbell = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = L.doorbell;
    epoll_ctl(L.epfd, EPOLL_CTL_ADD, L.doorbell, &ev);
}

void RingDoorbell()
{
    uint64_t one = 1;
    ssize_t n = write(L.doorbell, &one, sizeof one);
    (void)n;
}

bool TakeQueued(MSG *msg)
{
    std::lock_guard<std::mutex> g(L.lock);
    if (L.queue.empty())
        return false;
    *msg = L.queue.front();
    L.queue.pop_front();
    return true;
}

// A due timer becomes a WM_TIMER message; the next expiry is one period on,
// never in the past (a loop that was busy does not fire a burst).
bool TakeDueTimer(MSG *msg)
{
    uint64_t now = NowMs();
    for (auto &t : L.timers) {
        if (t.due > now)
            continue;
        t.due += t.period;
        if (t.due <= now)
            t.due = now + t.period;
        msg->hwnd = t.window;
        msg->message = WM_TIMER;
        msg->wParam = t.id;
        msg->lParam = 0;
        return true;
    }
    return false;
}

int WaitTimeout(int limitMs)
{
    if (L.timers.empty())
        return limitMs;
    uint64_t next = L.timers.front().due;
    for (auto &t : L.timers)
        next = std::min(next, t.due);
    uint64_t now = NowMs();
    int untilTimer = next <= now ? 0 : static_cast<int>(std::min<uint64_t>(next - now, 1u << 30));
    return limitMs < 0 ? untilTimer : std::min(limitMs, untilTimer);
}

// One epoll wait; ready descriptors are served here, on the loop thread.
void WaitEvents(int timeoutMs, bool countWakeup = true)
{
    EnsureOpen();
    epoll_event evs[16];
    int n = epoll_wait(L.epfd, evs, 16, WaitTimeout(timeoutMs));
    L.lastLook = NowMs();
    if (countWakeup)
        ++L.wakeups;
    for (int i = 0; i < n; ++i) {
        int fd = evs[i].data.fd;
        if (fd == L.doorbell) {
            uint64_t v;
            ssize_t r = read(L.doorbell, &v, sizeof v);
            (void)r;
            continue;
        }
        auto it = L.fds.find(fd);
        if (it != L.fds.end())
            it->second.fn(fd, it->second.arg);
    }
}

HWND FreshHandle()
{
    for (;;) {
        HWND h = static_cast<HWND>(L.rng());
        if (h == 0 || h == HWND_BROADCAST || L.windows.count(h))
            continue;
        if (L.hooks && L.hooks->handleExists && L.hooks->handleExists(h))
            continue;
        return h;
    }
}

}  // namespace

HWND CreateWindowProc(WNDPROC proc, bool addressable)
{
    EnsureOpen();
    // The bus refuses a handle whose name another program took meanwhile;
    // a few fresh draws settle that.
    for (int attempt = 0; attempt < 8; ++attempt) {
        HWND h;
        {
            std::lock_guard<std::mutex> g(L.lock);
            h = FreshHandle();
            L.windows[h] = Window{proc, addressable};
        }
        if (!addressable || !L.hooks || !L.hooks->attach || L.hooks->attach(h))
            return h;
        std::lock_guard<std::mutex> g(L.lock);
        L.windows.erase(h);
    }
    return 0;
}

void DestroyWindowProc(HWND window)
{
    bool addressable = false;
    {
        std::lock_guard<std::mutex> g(L.lock);
        auto it = L.windows.find(window);
        if (it == L.windows.end())
            return;
        addressable = it->second.addressable;
        L.windows.erase(it);
    }
    std::erase_if(L.timers, [&](const Timer &t) { return t.window == window; });
    if (addressable && L.hooks && L.hooks->detach)
        L.hooks->detach(window);
}

bool IsLocalWindow(HWND window)
{
    std::lock_guard<std::mutex> g(L.lock);
    return L.windows.count(window) != 0;
}

WNDPROC WindowProcOf(HWND window)
{
    std::lock_guard<std::mutex> g(L.lock);
    auto it = L.windows.find(window);
    return it == L.windows.end() ? nullptr : it->second.proc;
}

LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (WNDPROC proc = WindowProcOf(window))
        return proc(window, message, wParam, lParam);
    if (L.hooks && L.hooks->send)
        return L.hooks->send(window, message, wParam, lParam);
    return 0;
}

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::mutex> g(L.lock);
        if (L.windows.count(window)) {
            bool wasEmpty = L.queue.empty();
            L.queue.push_back(MSG{window, message, wParam, lParam});
            if (wasEmpty && L.doorbell >= 0)
                RingDoorbell();
            return true;
        }
    }
    if (L.hooks && L.hooks->post)
        return L.hooks->post(window, message, wParam, lParam);
    return false;
}

void PostQuitMessage(int exitCode)
{
    std::lock_guard<std::mutex> g(L.lock);
    if (!L.quit) {
        L.quit = true;
        L.quitCode = exitCode;
    }
    if (L.doorbell >= 0)
        RingDoorbell();
}

// Queued messages come first, but not for ever: a queue that keeps
// refilling itself (a port's drain posting its follow-up while the line
// never stops sending) must not keep the bus, signals and timers waiting.
constexpr uint64_t kFairLookMs = 10;

bool GetMessage(MSG *msg)
{
    for (;;) {
        if (NowMs() - L.lastLook >= kFairLookMs) {
            WaitEvents(0, false);
            if (TakeDueTimer(msg))
                return true;
        }
        if (TakeQueued(msg))
            return true;
        {
            std::lock_guard<std::mutex> g(L.lock);
            if (L.quit) {
                *msg = MSG{0, WM_QUIT, static_cast<WPARAM>(L.quitCode), 0};
                return false;
            }
        }
        if (TakeDueTimer(msg))
            return true;
        WaitEvents(-1);
    }
}

LRESULT DispatchMessage(const MSG *msg)
{
    WNDPROC proc = WindowProcOf(msg->hwnd);
    if (!proc)
        return 0;
    if (msg->message == WM_TIMER && !TimerRunning(msg->hwnd, msg->wParam))
        return 0;  // killed while the tick waited
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// Serves what is queued or due, for at most kFairLookMs: a queue that
// refills itself must not keep a foreign pump from its own work either.
static bool ServeQueued()
{
    MSG msg;
    bool served = false;
    uint64_t start = NowMs();
    while (NowMs() - start < kFairLookMs && (TakeQueued(&msg) || TakeDueTimer(&msg))) {
        DispatchMessage(&msg);
        served = true;
    }
    return served;
}

bool LoopRunOnce(int timeoutMs)
{
    bool served = ServeQueued();
    // Ready descriptors are served even when messages were: a caller that
    // is only woken by due timers (a foreign loop inside a modal box) would
    // otherwise never reach serial data or the bus.
    WaitEvents(served ? 0 : timeoutMs);
    ServeQueued();
    std::lock_guard<std::mutex> g(L.lock);
    return !L.quit;
}

int LoopRun()
{
    MSG msg;
    while (GetMessage(&msg))
        DispatchMessage(&msg);
    return static_cast<int>(msg.wParam);
}

bool SetTimer(HWND window, uintptr_t id, uint32_t periodMs)
{
    EnsureOpen();
    if (periodMs == 0)
        periodMs = 1;
    uint64_t due = NowMs() + periodMs;
    for (auto &t : L.timers) {
        if (t.window == window && t.id == id) {
            t.period = periodMs;
            t.due = due;
            return true;
        }
    }
    L.timers.push_back(Timer{window, id, periodMs, due});
    return true;
}

bool KillTimer(HWND window, uintptr_t id)
{
    auto before = L.timers.size();
    std::erase_if(L.timers, [&](const Timer &t) { return t.window == window && t.id == id; });
    return L.timers.size() != before;
}

bool TimerRunning(HWND window, uintptr_t id)
{
    return std::any_of(L.timers.begin(), L.timers.end(),
                       [&](const Timer &t) { return t.window == window && t.id == id; });
}

uint32_t TimerPeriod(HWND window, uintptr_t id)
{
    for (auto &t : L.timers)
        if (t.window == window && t.id == id)
            return t.period;
    return 0;
}

uint32_t GetTickCount()
{
    return static_cast<uint32_t>(NowMs());
}

bool LoopAddFd(int fd, FdHandler fn, void *arg)
{
    EnsureOpen();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(L.epfd, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    L.fds[fd] = FdEntry{fn, arg};
    return true;
}

void LoopRemoveFd(int fd)
{
    if (L.fds.erase(fd) && L.epfd >= 0)
        epoll_ctl(L.epfd, EPOLL_CTL_DEL, fd, nullptr);
}

void LoopSetRemoteHooks(const LoopRemoteHooks *hooks)
{
    L.hooks = hooks;
}

int LoopEpollFd()
{
    EnsureOpen();
    return L.epfd;
}

int LoopNextTimerMs()
{
    return L.timers.empty() ? -1 : WaitTimeout(-1);
}

uint64_t LoopWakeups()
{
    return L.wakeups;
}

void LoopReset()
{
    for (auto &f : L.fds)
        if (L.epfd >= 0)
            epoll_ctl(L.epfd, EPOLL_CTL_DEL, f.first, nullptr);
    L.fds.clear();
    L.timers.clear();
    std::lock_guard<std::mutex> g(L.lock);
    L.windows.clear();
    L.queue.clear();
    L.quit = false;
    L.quitCode = 0;
    L.wakeups = 0;
}
