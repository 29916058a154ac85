// The local message bus: window messages between the programs of one site.
//
// Directory: $ZOLT_BUS, else <root>/bus; made with mode 0700 when missing,
// used only when owned by our user with mode exactly 0700.  Every
// addressable window listens on a SOCK_SEQPACKET socket named "w" plus its
// handle in eight lower-case hex digits.  A socket appears by bind under a
// temporary name, listen, link to the w-name, unlink of the temporary name.
// Frames are platform/busframe.h; the connection table and its limits
// platform/busconn.h; the directory and socket files platform/bussocket.h.
//
// This file joins and leaves the bus, hooks it into the loop and holds the
// public calls of platform/bus.h.  The rest of the machinery: accepting and
// serving connections (busaccept), delivery to our procedures and the
// courier (busdeliver), the nested wait (buswait), sends (bussend),
// broadcast (busbroadcast) and posts (buspost); their shared state is
// platform/businternal.h.
#include "platform/bus.h"

#include "platform/businternal.h"
#include "platform/bussocket.h"
#include "platform/loop.h"
#include "platform/root.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

BusState TheBus;

namespace {

HWND DefaultSender()
{
    std::lock_guard<std::mutex> g(TheBus.lock);
    return TheBus.defaultSender;
}

void UpdateDefaultSender()
{
    std::lock_guard<std::mutex> g(TheBus.lock);
    TheBus.defaultSender = TheBus.listeners.empty() ? 0 : TheBus.listeners.front().window;
}

// Number-form send, or WM_COPYDATA whose record becomes the block.
LRESULT SendNumberOrRecord(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam)
{
    std::vector<uint8_t> block;
    if (code == WM_COPYDATA && !BusCopyDataBlock(lParam, &block))
        return 0;
    if (target == HWND_BROADCAST)
        return BusBroadcast(sender, code, wParam, lParam, block.data(),
                            static_cast<uint32_t>(block.size()));
    // A copy-data record is the sender's to keep: nothing is copied back.
    return BusSendFrame(sender, target, code, wParam, lParam, block.data(),
                        static_cast<uint32_t>(block.size()), false);
}

LRESULT HookSend(HWND target, UINT code, WPARAM wParam, LPARAM lParam)
{
    return SendNumberOrRecord(DefaultSender(), target, code, wParam, lParam);
}

bool HookPost(HWND target, UINT code, WPARAM wParam, LPARAM lParam)
{
    std::vector<uint8_t> block;
    if (code == WM_COPYDATA && !BusCopyDataBlock(lParam, &block))
        return false;
    return BusPostFrame(DefaultSender(), target, code, wParam, lParam, block.data(),
                        static_cast<uint32_t>(block.size()));
}

bool HookAttach(HWND window)
{
    if (!TheBus.open)
        return true;
    struct stat made;
    int fd = BusListen(TheBus.dir, window, &made);
    if (fd < 0) {
        char text[48];
        std::snprintf(text, sizeof text, "cannot make the socket of window 0x%08x", window);
        TheBus.lastError = std::string(text) + " in " + TheBus.dir + ": " + std::strerror(errno);
        return false;
    }
    if (!LoopAddFd(fd, BusOnListenerReady, nullptr)) {
        unlink(BusWindowPath(TheBus.dir, window).c_str());
        close(fd);
        return false;
    }
    TheBus.listeners.push_back(BusListener{window, fd, made});
    UpdateDefaultSender();
    return true;
}

void DropListener(const BusListener &l)
{
    LoopRemoveFd(l.fd);
    close(l.fd);
    BusRemoveOwnSocket(TheBus.dir, l.window, l.made);
    std::vector<int> conns;
    for (auto &a : TheBus.conns.accepted)
        if (a.second.window == l.window)
            conns.push_back(a.first);
    for (int fd : conns)
        BusCloseAccepted(fd);
}

void HookDetach(HWND window)
{
    auto it = std::find_if(TheBus.listeners.begin(), TheBus.listeners.end(),
                           [&](const BusListener &l) { return l.window == window; });
    if (it == TheBus.listeners.end())
        return;
    BusListener l = *it;
    TheBus.listeners.erase(it);
    DropListener(l);
    UpdateDefaultSender();
}

// Runs under the loop's own lock: a look at the directory, nothing more.
bool HookHandleExists(HWND handle)
{
    if (!TheBus.open)
        return false;
    struct stat st;
    return lstat(BusWindowPath(TheBus.dir, handle).c_str(), &st) == 0;
}

const LoopRemoteHooks kHooks = {
    .send = HookSend,
    .post = HookPost,
    .attach = HookAttach,
    .detach = HookDetach,
    .handleExists = HookHandleExists,
};

void CloseAll(KeptSet *set)
{
    BusCloseEach(KeptDrop(set, 0));
}

}  // namespace

bool BusOpen(std::string *error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    if (TheBus.open)
        return true;
    std::string dir = BusDirectory();
    if (!BusPrepareDirectory(dir, error))
        return false;
    TheBus.dir = dir;
    {
        std::lock_guard<std::mutex> g(TheBus.lock);
        TheBus.sharedDir = dir;
    }
    TheBus.lastError.clear();
    if (TheBus.reserveFd < 0)
        TheBus.reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    TheBus.open = true;
    LoopSetRemoteHooks(&kHooks);
    return true;
}

void BusClose()
{
    if (!TheBus.open)
        return;
    LoopSetRemoteHooks(nullptr);
    {
        std::lock_guard<std::mutex> g(TheBus.lock);
        TheBus.open = false;  // posts from other threads stop here
        CloseAll(&TheBus.postConns);
        TheBus.defaultSender = 0;
    }
    for (auto &l : TheBus.listeners)
        DropListener(l);
    TheBus.listeners.clear();
    while (!TheBus.conns.accepted.empty())
        BusCloseAccepted(TheBus.conns.accepted.begin()->first);
    TheBus.conns = ConnTable{};
    CloseAll(&TheBus.idleSend);
    if (TheBus.courier)
        DestroyWindowProc(TheBus.courier);
    TheBus.courier = 0;
    TheBus.queued.clear();
    if (TheBus.reserveFd >= 0)
        close(TheBus.reserveFd);
    TheBus.reserveFd = -1;
    TheBus.stopSeen = false;
    TheBus.depth = 0;
    TheBus.current = BusDelivery{};
}

bool BusIsOpen()
{
    return TheBus.open;
}

LRESULT BusSendBlock(HWND sender, HWND target, UINT message, WPARAM wParam, void *block,
                     uint32_t length)
{
    if (!block || length == 0)
        return BusSend(sender, target, message, wParam, 0);
    if (length > kBusMaxBlock)
        return 0;
    auto *bytes = static_cast<uint8_t *>(block);
    if (IsLocalWindow(target))
        return BusDeliver(sender, target, message, wParam, 0, bytes, length);
    if (target == HWND_BROADCAST)
        return BusBroadcast(sender, message, wParam, 0, bytes, length);
    return BusSendFrame(sender, target, message, wParam, 0, bytes, length, true);
}

LRESULT BusSend(HWND sender, HWND target, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (WNDPROC proc = WindowProcOf(target))
        return proc(target, message, wParam, lParam);
    return SendNumberOrRecord(sender, target, message, wParam, lParam);
}

bool BusPost(HWND sender, HWND target, UINT message, WPARAM wParam, LPARAM lParam,
             const void *block, uint32_t length)
{
    if (!block)
        length = 0;
    if (length > kBusMaxBlock || target == HWND_BROADCAST)
        return false;
    auto *bytes = static_cast<const uint8_t *>(block);
    if (IsLocalWindow(target)) {
        if (!length)
            return PostMessage(target, message, wParam, lParam);
        BusIncoming m;
        m.sender = sender;
        m.target = target;
        m.code = message;
        m.wParam = wParam;
        m.length = length;
        m.hasBlock = true;
        m.block.assign(bytes, bytes + length);
        return BusQueueIncoming(std::move(m));
    }
    return BusPostFrame(sender, target, message, wParam, lParam, bytes, length);
}

int BusListWindows(HWND *out, int max)
{
    std::vector<HWND> windows;
    BusScanWindows(TheBus.open ? TheBus.dir : BusDirectory(), &windows);
    int n = static_cast<int>(std::min<size_t>(windows.size(), static_cast<size_t>(std::max(max, 0))));
    std::copy(windows.begin(), windows.begin() + n, out);
    return n;
}

void BusForgetWindow(HWND window)
{
    if (window == 0)
        return;
    BusCloseEach(KeptDrop(&TheBus.idleSend, window));
    std::lock_guard<std::mutex> g(TheBus.lock);
    BusCloseEach(KeptDrop(&TheBus.postConns, window));
}

void BusWatchStop(int fd)
{
    TheBus.stopFd = fd;
    TheBus.stopSeen = false;
}

void BusStopTaken()
{
    TheBus.stopSeen = false;
}

std::string BusLastError()
{
    return TheBus.lastError;
}

bool BusWindowAlive(HWND window)
{
    if (IsLocalWindow(window))
        return true;
    if (!TheBus.open || window == 0 || window == HWND_BROADCAST)
        return false;
    int reason = 0;
    int fd = BusConnect(TheBus.dir, window, &reason);
    if (fd >= 0)
        close(fd);
    return fd >= 0 || reason == EAGAIN;
}

bool BusIsForeignWindow(HWND window)
{
    return window != 0 && window != HWND_BROADCAST && !IsLocalWindow(window);
}

HWND BusDeliverySender()
{
    return TheBus.current.sender;
}

uint32_t BusDeliveryBlockLength()
{
    return TheBus.current.length;
}
