// The local message bus: window messages between the programs of one site.
//
// Directory: $ZOLT_BUS, else <root>/bus; made with mode 0700 when missing,
// used only when owned by our user with mode exactly 0700.  Every
// addressable window listens on a SOCK_SEQPACKET socket named "w" plus its
// handle in eight lower-case hex digits.  A socket appears by bind under a
// temporary name, listen, link to the w-name, unlink of the temporary name.
// Frames are platform/busframe.h; the connection table and its limits
// platform/busconn.h; here are sends, posts, broadcast and serving.
#include "platform/bus.h"

#include "platform/busconn.h"
#include "platform/busframe.h"
#include "platform/bussocket.h"
#include "platform/loop.h"
#include "platform/root.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

constexpr int64_t kBoundMs = 5000;        // a send's whole life, connect included
constexpr int64_t kBusyRetryMs = 10;      // pause before connecting again to a full queue
constexpr uint32_t kMinCopy = 1024;       // a delivered block is never shorter than this
constexpr int kMaxNesting = 16;           // deeper waits stop serving incoming sends
constexpr size_t kMaxBroadcast = 4096;    // windows one broadcast reaches, lowest handles first
constexpr UINT kCourierMessage = 0x7FF0;  // only ever posted to the courier window
constexpr uintptr_t kSweepTimer = 1;      // the courier's: closes idle accepted connections
constexpr uintptr_t kResumeTimer = 2;     // the courier's: listens again after EMFILE
constexpr uint32_t kResumeMs = 250;


struct Listener {
    HWND window;
    int fd;
    struct stat made;     // the socket file, to tell it from a newcomer's
    bool paused = false;  // out of descriptors: not listened to for a while
};

// A message that came in and waits in the loop's queue for its turn.
struct Incoming {
    HWND sender = 0;
    HWND target = 0;
    UINT code = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    uint32_t length = 0;            // bytes of the block on the wire
    bool hasBlock = false;          // lParam becomes the address of the block
    std::vector<uint8_t> block;     // the bytes that came; padded when delivered
    int fd = -1;                    // the connection it came on (charged), or -1
    uint64_t serial = 0;
    uint64_t cost = 0;
};

struct Delivery {
    HWND sender = 0;
    uint32_t length = 0;
};

struct BusState {
    std::atomic<bool> open{false};
    std::string dir;
    std::vector<Listener> listeners;   // creation order; the first is the default sender
    ConnTable conns;                   // connections other programs opened to us
    KeptSet idleSend;                  // idle send connections, at most BusBounds.maxKept
    int reserveFd = -1;                // given up to accept-and-close when out of descriptors
    int stopFd = -1;                   // readable when the program is asked to stop
    bool stopSeen = false;             // ... and it was during a wait: waits end at once
    std::string lastError;
    int depth = 0;                     // sends of ours waiting, nested
    HWND courier = 0;
    uint64_t nextIncoming = 1;
    std::map<uint64_t, Incoming> queued;
    Delivery current;
    std::vector<uint8_t> rx = std::vector<uint8_t>(kBusMaxFrame + 1);
    std::atomic<uint32_t> sequence{1};
    // Shared with PostMessage callers on other threads.
    std::mutex lock;
    std::string sharedDir;
    KeptSet postConns;
    HWND defaultSender = 0;
};

BusState B;

LRESULT CourierProc(HWND, UINT message, WPARAM wParam, LPARAM lParam);
void OnListenerReady(int fd, void *);

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void CloseAccepted(int fd)
{
    if (B.conns.accepted.erase(fd) == 0)
        return;
    LoopRemoveFd(fd);
    close(fd);
}

// The procedure call itself.  block is the receiver's copy (or the caller's
// buffer for a local call); WM_COPYDATA gets a record pointing into it.
LRESULT Deliver(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                uint8_t *block, uint32_t length)
{
    WNDPROC proc = WindowProcOf(target);
    if (!proc)
        return 0;
    COPYDATASTRUCT record;
    if (code == WM_COPYDATA) {
        if (!block || length < 8 || BusGet32(block + 4) > length - 8)
            return 0;  // no record, or a byte count the block does not hold
        record.dwData = BusGet32(block);
        record.cbData = BusGet32(block + 4);
        record.lpData = block + 8;
        lParam = reinterpret_cast<LPARAM>(&record);
    } else if (block) {
        lParam = reinterpret_cast<LPARAM>(block);
    }
    Delivery saved = B.current;
    B.current = Delivery{sender, block ? length : 0};
    LRESULT result = proc(target, code, wParam, lParam);
    B.current = saved;
    return result;
}

// The receiver's copy of a block: zero-filled to kMinCopy and always one
// zero byte beyond the block, so a text in it is terminated and a procedure
// that writes a short answer stays inside it.  A message whose lParam is an
// address but that came without a block gets an empty one.
bool CopyBlock(const uint8_t *bytes, uint32_t length, UINT code, std::vector<uint8_t> *copy)
{
    if (length == 0 && !BusLParamIsAddress(code))
        return false;
    copy->assign(std::max(length, kMinCopy) + 1, 0);
    if (length)
        std::memcpy(copy->data(), bytes, length);
    return true;
}

void EnsureCourier()
{
    if (!B.courier || !IsLocalWindow(B.courier))
        B.courier = CreateWindowProc(CourierProc, false);
}

// A connection with a frame just arrived is not idle, whatever its clock
// says: it is served rather than closed under its sender.
void CloseIdleAccepted()
{
    for (int fd : ConnsIdle(B.conns, NowMs())) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 0)
            CloseAccepted(fd);
    }
    if (B.conns.accepted.empty())
        KillTimer(B.courier, kSweepTimer);
}

// After running out of descriptors the listeners are listened to again.
void ResumeListeners()
{
    KillTimer(B.courier, kResumeTimer);
    if (B.reserveFd < 0)
        B.reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (auto &l : B.listeners) {
        if (l.paused && LoopAddFd(l.fd, OnListenerReady, nullptr))
            l.paused = false;
    }
}

LRESULT CourierProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == kSweepTimer)
        CloseIdleAccepted();
    if (message == WM_TIMER && wParam == kResumeTimer)
        ResumeListeners();
    if (message != kCourierMessage)
        return 0;
    auto it = B.queued.find(static_cast<uint64_t>(lParam));
    if (it == B.queued.end())
        return 0;
    Incoming m = std::move(it->second);
    B.queued.erase(it);
    if (m.fd >= 0)
        ConnReleasePost(&B.conns, m.fd, m.serial, m.cost);
    if (m.hasBlock)
        m.block.resize(std::max(m.length, kMinCopy) + 1, 0);
    uint8_t *block = m.hasBlock ? m.block.data() : nullptr;
    Deliver(m.sender, m.target, m.code, m.wParam, m.lParam, block, m.length);
    return 0;
}

// Posted messages (ours to ourselves, or from the bus) wait in the loop's
// queue like any other, in order; the courier hands them over with their
// block when their turn comes.
bool QueueIncoming(Incoming &&m)
{
    EnsureCourier();
    uint64_t id = B.nextIncoming++;
    B.queued[id] = std::move(m);
    if (PostMessage(B.courier, kCourierMessage, 0, static_cast<LPARAM>(id)))
        return true;
    Incoming &lost = B.queued[id];
    if (lost.fd >= 0)
        ConnReleasePost(&B.conns, lost.fd, lost.serial, lost.cost);
    B.queued.erase(id);
    return false;
}

// A post from the bus waits in our queue, counted against its connection's
// share and the total; one that passes either is dropped with its
// connection.  Only the bytes that came are kept until delivery.
void QueuePost(int fd, const AcceptedConn &conn, const BusFrame &f)
{
    uint64_t cost = f.length + kBusPostOverhead;
    if (!ConnChargePost(&B.conns, fd, cost)) {
        CloseAccepted(fd);
        return;
    }
    Incoming m{f.sender, f.target, f.code, f.wParam, f.lParam, f.length, false, {}, fd,
               conn.serial, cost};
    m.hasBlock = f.length > 0 || BusLParamIsAddress(f.code);
    m.block.assign(f.block, f.block + f.length);
    QueueIncoming(std::move(m));
}

// Reads one frame from a connection we accepted and acts on it.
void ServeConnection(int fd)
{
    auto it = B.conns.accepted.find(fd);
    if (it == B.conns.accepted.end())
        return;
    ssize_t n = recv(fd, B.rx.data(), B.rx.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    BusFrame f;
    if (n <= 0 || !BusDecodeFrame(B.rx.data(), static_cast<size_t>(n), &f) ||
        f.kind == kBusKindReply || f.target != it->second.window) {
        CloseAccepted(fd);
        return;
    }
    it->second.lastActive = NowMs();
    AcceptedConn conn = it->second;
    if (f.kind == kBusKindPost) {
        QueuePost(fd, conn, f);
        return;
    }
    std::vector<uint8_t> copy;
    bool hasCopy = CopyBlock(f.block, f.length, f.code, &copy);
    ++it->second.busy;
    LRESULT result = Deliver(f.sender, f.target, f.code, f.wParam, f.lParam,
                             hasCopy ? copy.data() : nullptr, f.length);
    auto again = B.conns.accepted.find(fd);
    if (again == B.conns.accepted.end() || again->second.serial != conn.serial)
        return;  // closed while the procedure ran
    --again->second.busy;
    BusFrame reply = f;
    reply.kind = kBusKindReply;
    reply.sender = f.target;
    reply.target = f.sender;
    reply.wParam = 0;
    reply.lParam = static_cast<int32_t>(result);
    reply.block = copy.data();
    BusWriteFrame(fd, reply);  // a reply that cannot be written is lost quietly
}

void OnAcceptedReady(int fd, void *)
{
    ServeConnection(fd);
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
bool MakeRoom(Listener *l)
{
    int idle = ConnLongestIdle(B.conns);
    if (idle >= 0) {
        CloseAccepted(idle);
        return true;
    }
    if (B.reserveFd >= 0) {
        close(B.reserveFd);
        int fd = accept4(l->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            close(fd);
        B.reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (B.reserveFd >= 0)
            return true;
    }
    LoopRemoveFd(l->fd);
    l->paused = true;
    EnsureCourier();
    SetTimer(B.courier, kResumeTimer, kResumeMs);
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
    int victim = ConnToEvict(B.conns, peer, MaxAccepted());
    if (victim == -2) {
        close(fd);
        return;
    }
    if (victim >= 0)
        CloseAccepted(victim);
    AcceptedConn c;
    c.window = window;
    c.serial = B.conns.nextSerial++;
    c.peer = peer;
    c.lastActive = NowMs();
    B.conns.accepted[fd] = c;
    if (!LoopAddFd(fd, OnAcceptedReady, nullptr)) {
        CloseAccepted(fd);
        return;
    }
    EnsureCourier();
    auto period = static_cast<uint32_t>(std::clamp<int64_t>(BusBounds.idleMs / 4, 10, 60000));
    if (TimerPeriod(B.courier, kSweepTimer) != period)
        SetTimer(B.courier, kSweepTimer, period);
}

void AcceptAll(int listenFd)
{
    auto it = std::find_if(B.listeners.begin(), B.listeners.end(),
                           [&](const Listener &l) { return l.fd == listenFd; });
    if (it == B.listeners.end() || it->paused)
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

void OnListenerReady(int fd, void *)
{
    AcceptAll(fd);
}

bool IsListener(int fd)
{
    return std::any_of(B.listeners.begin(), B.listeners.end(),
                       [&](const Listener &l) { return l.fd == fd; });
}

// Waits until one of `watch` shows its events or the deadline passes.
// Meanwhile the waiting thread keeps serving sends for our own windows
// (posts are queued), as a program that parked them behind its own wait
// would deadlock with a peer that answers by sending to it first.  A last
// look is taken when the time is up, so a reply that is already there still
// counts.  A stop request seen meanwhile makes later waits end at once.
bool WaitServingSet(std::vector<pollfd> *watch, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - NowMs();
        std::vector<pollfd> set(*watch);
        size_t own = set.size();
        if (B.stopFd >= 0 && !B.stopSeen)
            set.push_back(pollfd{B.stopFd, POLLIN, 0});
        size_t serveFrom = set.size();
        if (B.depth <= kMaxNesting) {
            for (auto &l : B.listeners)
                if (!l.paused)
                    set.push_back(pollfd{l.fd, POLLIN, 0});
            for (auto &a : B.conns.accepted)
                set.push_back(pollfd{a.first, POLLIN, 0});
        }
        int n = poll(set.data(), set.size(), left > 0 ? static_cast<int>(left) : 0);
        bool ready = false;
        for (size_t i = 0; i < own; ++i) {
            (*watch)[i].revents = n > 0 ? set[i].revents : 0;
            ready = ready || (*watch)[i].revents;
        }
        if (ready)
            return true;
        if (n > 0 && serveFrom > own && set[own].revents)
            B.stopSeen = true;
        for (size_t i = serveFrom; n > 0 && i < set.size(); ++i) {
            if (!set[i].revents)
                continue;
            if (IsListener(set[i].fd))
                AcceptAll(set[i].fd);
            else
                ServeConnection(set[i].fd);
        }
        if (left <= 0)
            return false;
    }
}

bool WaitServing(int fd, short events, int64_t deadline)
{
    std::vector<pollfd> watch;
    if (fd >= 0)
        watch.push_back(pollfd{fd, events, 0});
    return WaitServingSet(&watch, deadline);
}

// The bound of a wait starting now: none left once a stop was requested.
int64_t DeadlineFromNow()
{
    return NowMs() + (B.stopSeen ? 0 : kBoundMs);
}

// A connection for one send: the kept one for the target, else a new one.
// A full queue is tried again until the deadline.
int TakeSendConnection(HWND target, int64_t deadline, bool *kept)
{
    int fd = KeptTake(&B.idleSend, target);
    *kept = fd >= 0;
    if (fd >= 0)
        return fd;
    for (;;) {
        int reason = 0;
        fd = BusConnect(B.dir, target, &reason);
        if (fd >= 0 || reason != EAGAIN || NowMs() >= deadline)
            return fd;
        WaitServing(-1, 0, std::min(deadline, NowMs() + kBusyRetryMs));
    }
}

void CloseEach(const std::vector<int> &fds)
{
    for (int fd : fds)
        close(fd);
}

// Kept connections whose peer has hung up (or sent something unasked, which
// no idle connection may carry) are closed, so that a long-lived program
// does not collect the connections of every program that came and went.
void PruneKept(KeptSet *set)
{
    std::vector<int> gone;
    std::erase_if(set->conns, [&](const KeptConn &k) {
        pollfd p{k.fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return false;
        gone.push_back(k.fd);
        return true;
    });
    CloseEach(gone);
}

// One idle connection per target is kept, and only the few most recently
// used: a program that sent to a thousand windows does not hold a
// thousand descriptors.
void KeepSendConnection(HWND target, int fd)
{
    PruneKept(&B.idleSend);
    if (KeptFind(&B.idleSend, target) >= 0)
        close(fd);
    else
        CloseEach(KeptPut(&B.idleSend, target, fd, BusBounds.maxKept));
}

// Writes the frame of a send; a kept connection the peer has since closed is
// replaced by a new one once.
int WriteSend(HWND target, int fd, bool kept, const BusFrame &f, int64_t deadline)
{
    for (;;) {
        if (BusWriteFrame(fd, f) >= 0)
            return fd;
        int err = errno;
        if (err == EAGAIN && WaitServing(fd, POLLOUT, deadline))
            continue;
        close(fd);
        if (!kept || (err != EPIPE && err != ECONNRESET && err != ENOTCONN))
            return -1;
        kept = false;
        int reason = 0;
        fd = BusConnect(B.dir, target, &reason);
        if (fd < 0)
            return -1;
    }
}

enum class ReplyState { Waiting, Done, Failed };

// Reads one frame from our send's connection.  Only a reply with our
// sequence ends the wait; another reply is dropped; anything else, or a
// block of another length than ours, fails the send.
ReplyState ReadReply(int fd, const BusFrame &sent, uint8_t *block, bool copyBack, LRESULT *result)
{
    ssize_t n = recv(fd, B.rx.data(), B.rx.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return ReplyState::Waiting;
    BusFrame r;
    if (n <= 0 || !BusDecodeFrame(B.rx.data(), static_cast<size_t>(n), &r) || r.kind != kBusKindReply)
        return ReplyState::Failed;
    if (r.sequence != sent.sequence)
        return ReplyState::Waiting;
    if (r.length != sent.length)
        return ReplyState::Failed;
    if (copyBack && r.length && std::memcmp(block, r.block, r.length) != 0)
        std::memcpy(block, r.block, r.length);
    *result = r.lParam;
    return ReplyState::Done;
}

// A send to one window of another program: 0 when it has no socket, refuses,
// or does not answer within the bound.
LRESULT SendFrame(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                  uint8_t *block, uint32_t length, bool copyBack)
{
    if (!B.open || target == 0 || target == HWND_BROADCAST || length > kBusMaxBlock)
        return 0;
    int64_t deadline = DeadlineFromNow();
    ++B.depth;
    bool kept = false;
    BusFrame f;
    f.kind = kBusKindSend;
    f.sequence = B.sequence++;
    f.sender = sender;
    f.target = target;
    f.code = code;
    f.wParam = static_cast<uint32_t>(wParam);
    f.lParam = length ? 0 : static_cast<int32_t>(lParam);
    f.length = length;
    f.block = block;
    int fd = TakeSendConnection(target, deadline, &kept);
    if (fd >= 0)
        fd = WriteSend(target, fd, kept, f, deadline);
    LRESULT result = 0;
    ReplyState state = fd >= 0 ? ReplyState::Waiting : ReplyState::Failed;
    while (state == ReplyState::Waiting) {
        if (!WaitServing(fd, POLLIN, deadline))
            state = ReplyState::Failed;
        else
            state = ReadReply(fd, f, block, copyBack, &result);
    }
    if (state == ReplyState::Done)
        KeepSendConnection(target, fd);
    else if (fd >= 0)
        close(fd);  // a late reply is lost with it
    --B.depth;
    return state == ReplyState::Done ? result : 0;
}

// The copy-data record as a block: data word, byte count, the bytes.
bool CopyDataBlock(LPARAM lParam, std::vector<uint8_t> *block)
{
    auto *record = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
    if (!record || record->cbData > kBusMaxBlock - 8 || (record->cbData && !record->lpData))
        return false;
    block->assign(8 + record->cbData, 0);
    BusPut32(block->data(), record->dwData);
    BusPut32(block->data() + 4, record->cbData);
    if (record->cbData)
        std::memcpy(block->data() + 8, record->lpData, record->cbData);
    return true;
}

// One window of a broadcast whose reply is awaited.
struct Flight {
    int fd;
    BusFrame sent;
};

// Connects to one window of a broadcast and writes its frame.  A window
// whose queue is full is tried again later (*busy); a window beyond the
// number awaited at once gets its frame all the same, and the connection
// is closed behind it.
void Launch(HWND w, const BusFrame &f, std::vector<Flight> *flights, std::vector<HWND> *busy)
{
    int reason = 0;
    int fd = BusConnect(B.dir, w, &reason);
    if (fd < 0) {
        if (reason == EAGAIN)
            busy->push_back(w);
        return;
    }
    BusFrame g = f;
    g.target = w;
    g.sequence = B.sequence++;
    if (BusWriteFrame(fd, g) < 0 || flights->size() >= BusBounds.broadcastFlights)
        close(fd);
    else
        flights->push_back(Flight{fd, g});
}

// Awaits the replies of a broadcast together, under its one deadline, and
// tries the busy windows again meanwhile.  Any frame or hang-up on a
// flight ends it, except a reply with another sequence.
void AwaitFlights(std::vector<Flight> *flights, std::vector<HWND> *busy, const BusFrame &f,
                  int64_t deadline)
{
    while ((!flights->empty() || !busy->empty()) && NowMs() < deadline) {
        std::vector<pollfd> watch;
        for (auto &fl : *flights)
            watch.push_back(pollfd{fl.fd, POLLIN, 0});
        int64_t until = busy->empty() ? deadline : std::min(deadline, NowMs() + kBusyRetryMs);
        WaitServingSet(&watch, until);
        for (size_t i = watch.size(); i-- > 0;) {
            LRESULT ignored = 0;
            Flight &fl = (*flights)[i];
            if (!watch[i].revents ||
                ReadReply(fl.fd, fl.sent, nullptr, false, &ignored) == ReplyState::Waiting)
                continue;
            close(fl.fd);
            flights->erase(flights->begin() + static_cast<long>(i));
        }
        std::vector<HWND> again;
        again.swap(*busy);
        for (HWND w : again)
            Launch(w, f, flights, busy);
    }
    for (auto &fl : *flights)
        close(fl.fd);
    flights->clear();
}

// A local window gets its own copy of the block, as a remote one would.
void DeliverCopy(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                 const uint8_t *block, uint32_t length)
{
    std::vector<uint8_t> copy;
    bool hasCopy = CopyBlock(block, length, code, &copy);
    Deliver(sender, target, code, wParam, hasCopy ? 0 : lParam, hasCopy ? copy.data() : nullptr,
            length);
}

// Every window socket but the sender's own: the frames go out to all at
// once and the replies are awaited together under one bound, so a silent
// window costs that bound once, not once each.  Sibling windows of this
// process are called directly meanwhile.
LRESULT Broadcast(HWND sender, UINT code, WPARAM wParam, LPARAM lParam, const uint8_t *block,
                  uint32_t length)
{
    std::vector<HWND> windows;
    BusScanWindows(B.dir, &windows);
    if (windows.size() > kMaxBroadcast)
        windows.resize(kMaxBroadcast);
    int64_t deadline = DeadlineFromNow();
    ++B.depth;
    BusFrame f;
    f.kind = kBusKindSend;
    f.sender = sender;
    f.code = code;
    f.wParam = static_cast<uint32_t>(wParam);
    f.lParam = length ? 0 : static_cast<int32_t>(lParam);
    f.length = length;
    f.block = block;
    std::vector<Flight> flights;
    std::vector<HWND> busy, siblings;
    for (HWND w : windows) {
        if (w == sender)
            continue;
        if (IsLocalWindow(w))
            siblings.push_back(w);
        else
            Launch(w, f, &flights, &busy);
    }
    for (HWND w : siblings)
        if (B.depth <= kMaxNesting)  // a procedure that broadcasts back cannot recurse forever
            DeliverCopy(sender, w, code, wParam, lParam, block, length);
    AwaitFlights(&flights, &busy, f, deadline);
    --B.depth;
    return 0;
}

HWND DefaultSender()
{
    std::lock_guard<std::mutex> g(B.lock);
    return B.defaultSender;
}

void UpdateDefaultSender()
{
    std::lock_guard<std::mutex> g(B.lock);
    B.defaultSender = B.listeners.empty() ? 0 : B.listeners.front().window;
}

// Number-form send, or WM_COPYDATA whose record becomes the block.
LRESULT SendNumberOrRecord(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam)
{
    std::vector<uint8_t> block;
    if (code == WM_COPYDATA && !CopyDataBlock(lParam, &block))
        return 0;
    if (target == HWND_BROADCAST)
        return Broadcast(sender, code, wParam, lParam, block.data(),
                         static_cast<uint32_t>(block.size()));
    // A copy-data record is the sender's to keep: nothing is copied back.
    return SendFrame(sender, target, code, wParam, lParam, block.data(),
                     static_cast<uint32_t>(block.size()), false);
}

LRESULT HookSend(HWND target, UINT code, WPARAM wParam, LPARAM lParam)
{
    return SendNumberOrRecord(DefaultSender(), target, code, wParam, lParam);
}

// Writes a post on the kept post connection to the target (made on first
// use, made again once when the peer has closed it).  Called with B.lock.
bool WritePostLocked(HWND target, const BusFrame &f, int64_t deadline)
{
    bool fresh = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = KeptFind(&B.postConns, target);
        bool made = false;
        int reason = EAGAIN;
        while (fd < 0 && reason == EAGAIN && NowMs() < deadline) {
            fd = BusConnect(B.sharedDir, target, &reason);
            if (fd < 0 && reason == EAGAIN)
                poll(nullptr, 0, static_cast<int>(kBusyRetryMs));
            fresh = made = true;
        }
        if (fd < 0)
            return false;
        if (made)
            CloseEach(KeptPut(&B.postConns, target, fd, BusBounds.maxKept));
        for (;;) {
            if (BusWriteFrame(fd, f) >= 0)
                return true;
            int err = errno;
            pollfd p{fd, POLLOUT, 0};
            int64_t left = deadline - NowMs();
            if (err != EAGAIN || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
        }
        KeptTake(&B.postConns, target);
        close(fd);
        if (fresh)
            return false;
    }
    return false;
}

bool PostFrame(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
               const uint8_t *block, uint32_t length)
{
    if (!B.open || target == 0 || target == HWND_BROADCAST || length > kBusMaxBlock)
        return false;
    BusFrame f;
    f.kind = kBusKindPost;
    f.sequence = B.sequence++;
    f.sender = sender;
    f.target = target;
    f.code = code;
    f.wParam = static_cast<uint32_t>(wParam);
    f.lParam = length ? 0 : static_cast<int32_t>(lParam);
    f.length = length;
    f.block = block;
    std::lock_guard<std::mutex> g(B.lock);
    PruneKept(&B.postConns);
    return B.open && WritePostLocked(target, f, NowMs() + kBoundMs);
}

bool HookPost(HWND target, UINT code, WPARAM wParam, LPARAM lParam)
{
    std::vector<uint8_t> block;
    if (code == WM_COPYDATA && !CopyDataBlock(lParam, &block))
        return false;
    return PostFrame(DefaultSender(), target, code, wParam, lParam, block.data(),
                     static_cast<uint32_t>(block.size()));
}

bool HookAttach(HWND window)
{
    if (!B.open)
        return true;
    struct stat made;
    int fd = BusListen(B.dir, window, &made);
    if (fd < 0) {
        char text[48];
        std::snprintf(text, sizeof text, "cannot make the socket of window 0x%08x", window);
        B.lastError = std::string(text) + " in " + B.dir + ": " + std::strerror(errno);
        return false;
    }
    if (!LoopAddFd(fd, OnListenerReady, nullptr)) {
        unlink(BusWindowPath(B.dir, window).c_str());
        close(fd);
        return false;
    }
    B.listeners.push_back(Listener{window, fd, made});
    UpdateDefaultSender();
    return true;
}

void DropListener(const Listener &l)
{
    LoopRemoveFd(l.fd);
    close(l.fd);
    BusRemoveOwnSocket(B.dir, l.window, l.made);
    std::vector<int> conns;
    for (auto &a : B.conns.accepted)
        if (a.second.window == l.window)
            conns.push_back(a.first);
    for (int fd : conns)
        CloseAccepted(fd);
}

void HookDetach(HWND window)
{
    auto it = std::find_if(B.listeners.begin(), B.listeners.end(),
                           [&](const Listener &l) { return l.window == window; });
    if (it == B.listeners.end())
        return;
    Listener l = *it;
    B.listeners.erase(it);
    DropListener(l);
    UpdateDefaultSender();
}

// Runs under the loop's own lock: a look at the directory, nothing more.
bool HookHandleExists(HWND handle)
{
    if (!B.open)
        return false;
    struct stat st;
    return lstat(BusWindowPath(B.dir, handle).c_str(), &st) == 0;
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
    CloseEach(KeptDrop(set, 0));
}

}  // namespace

bool BusOpen(std::string *error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    if (B.open)
        return true;
    std::string dir = BusDirectory();
    if (!BusPrepareDirectory(dir, error))
        return false;
    B.dir = dir;
    {
        std::lock_guard<std::mutex> g(B.lock);
        B.sharedDir = dir;
    }
    B.lastError.clear();
    if (B.reserveFd < 0)
        B.reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    B.open = true;
    LoopSetRemoteHooks(&kHooks);
    return true;
}

void BusClose()
{
    if (!B.open)
        return;
    LoopSetRemoteHooks(nullptr);
    {
        std::lock_guard<std::mutex> g(B.lock);
        B.open = false;  // posts from other threads stop here
        CloseAll(&B.postConns);
        B.defaultSender = 0;
    }
    for (auto &l : B.listeners)
        DropListener(l);
    B.listeners.clear();
    while (!B.conns.accepted.empty())
        CloseAccepted(B.conns.accepted.begin()->first);
    B.conns = ConnTable{};
    CloseAll(&B.idleSend);
    if (B.courier)
        DestroyWindowProc(B.courier);
    B.courier = 0;
    B.queued.clear();
    if (B.reserveFd >= 0)
        close(B.reserveFd);
    B.reserveFd = -1;
    B.stopSeen = false;
    B.depth = 0;
    B.current = Delivery{};
}

bool BusIsOpen()
{
    return B.open;
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
        return Deliver(sender, target, message, wParam, 0, bytes, length);
    if (target == HWND_BROADCAST)
        return Broadcast(sender, message, wParam, 0, bytes, length);
    return SendFrame(sender, target, message, wParam, 0, bytes, length, true);
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
        Incoming m;
        m.sender = sender;
        m.target = target;
        m.code = message;
        m.wParam = wParam;
        m.length = length;
        m.hasBlock = true;
        m.block.assign(bytes, bytes + length);
        return QueueIncoming(std::move(m));
    }
    return PostFrame(sender, target, message, wParam, lParam, bytes, length);
}

int BusListWindows(HWND *out, int max)
{
    std::vector<HWND> windows;
    BusScanWindows(B.open ? B.dir : BusDirectory(), &windows);
    int n = static_cast<int>(std::min<size_t>(windows.size(), static_cast<size_t>(std::max(max, 0))));
    std::copy(windows.begin(), windows.begin() + n, out);
    return n;
}

void BusForgetWindow(HWND window)
{
    if (window == 0)
        return;
    CloseEach(KeptDrop(&B.idleSend, window));
    std::lock_guard<std::mutex> g(B.lock);
    CloseEach(KeptDrop(&B.postConns, window));
}

void BusWatchStop(int fd)
{
    B.stopFd = fd;
    B.stopSeen = false;
}

void BusStopTaken()
{
    B.stopSeen = false;
}

std::string BusLastError()
{
    return B.lastError;
}

bool BusWindowAlive(HWND window)
{
    if (IsLocalWindow(window))
        return true;
    if (!B.open || window == 0 || window == HWND_BROADCAST)
        return false;
    int reason = 0;
    int fd = BusConnect(B.dir, window, &reason);
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
    return B.current.sender;
}

uint32_t BusDeliveryBlockLength()
{
    return B.current.length;
}

bool BusLParamIsAddress(UINT code)
{
    static const UINT kCodes[] = {WM_COPYDATA, 2074, 2121, 2123, 2164, 2187, 2188,
                                  2189,        2740, 2776, 2777, 2778};
    return std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes);
}
