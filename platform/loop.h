// The message loop of the user-interface thread: windows and their
// procedures, the posted-message queue, timers and file events.
//
// One loop per process.  Everything but PostMessage and LoopWake must be
// called on the loop's own thread.  The loop sleeps in epoll until a message
// is posted, a watched descriptor is ready or the next timer is due; an idle
// loop with no timers makes no wake-ups at all.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

// Creates a window with its procedure.  Addressable windows also get a bus
// socket (when the bus is up) so that other programs can reach them.
HWND CreateWindowProc(WNDPROC proc, bool addressable);
// Removes a window (its timers and bus socket with it).
void DestroyWindowProc(HWND window);
// 1 if the window belongs to this process.
bool IsLocalWindow(HWND window);
WNDPROC WindowProcOf(HWND window);

// Synchronous: a local window's procedure is called directly; any other
// handle goes over the bus (0 when nobody answers).
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Queues a message; safe from any thread.  Non-local windows go over the bus.
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// Waits for the next message.  Returns false when WM_QUIT was taken (its
// code is in msg->wParam).  Timers and file events are served meanwhile.
bool GetMessage(MSG *msg);
LRESULT DispatchMessage(const MSG *msg);
// Serves what is ready now (queued messages, due timers and ready
// descriptors, all three) or, when nothing was, what becomes ready within
// timeoutMs (-1: wait for one event).  Returns false once the quit message
// has been posted.  Used by tests, nested waits and the window's pump.
bool LoopRunOnce(int timeoutMs);
// Runs until quit; returns the quit code.
int LoopRun();

// Periodic timer; setting an existing id again restarts it with the new
// period.  WM_TIMER(id) reaches the window's procedure.
bool SetTimer(HWND window, uintptr_t id, uint32_t periodMs);
bool KillTimer(HWND window, uintptr_t id);
bool TimerRunning(HWND window, uintptr_t id);
uint32_t TimerPeriod(HWND window, uintptr_t id);

// Monotonic millisecond count.
uint32_t GetTickCount();

// File events: fn(fd, arg) is called on the loop thread when fd is readable.
using FdHandler = void (*)(int fd, void *arg);
bool LoopAddFd(int fd, FdHandler fn, void *arg);
void LoopRemoveFd(int fd);

// Hooks the bus installs so that SendMessage/PostMessage reach other
// processes and addressable windows get sockets.
struct LoopRemoteHooks {
    LRESULT (*send)(HWND target, UINT message, WPARAM wParam, LPARAM lParam);
    bool (*post)(HWND target, UINT message, WPARAM wParam, LPARAM lParam);
    bool (*attach)(HWND window);  // a new addressable window: give it a socket
    void (*detach)(HWND window);
    bool (*handleExists)(HWND handle);  // used when choosing a fresh handle
};
void LoopSetRemoteHooks(const LoopRemoteHooks *hooks);

// For a foreign event loop (the Qt view): the epoll descriptor, readable
// whenever something is ready, and the milliseconds until the next timer
// is due (-1 when no timer runs).
int LoopEpollFd();
int LoopNextTimerMs();

// For tests: how many times the loop woke from its wait.
uint64_t LoopWakeups();
// Drops every window, timer, queued message and descriptor (tests).
void LoopReset();
