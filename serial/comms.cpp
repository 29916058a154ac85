// The comms library over Linux serial devices.
//
// PortTable exists while any port is open.  Each open record owns the
// device, its ring and its reader thread; the reader gets a pointer to its
// own record (the table never moves while a port is open) and touches only
// the ring and the record's atomics, so there is no hand-over copy and no
// start handshake.  CommClose wakes the reader through the record's eventfd
// and joins it before anything the reader uses is released.
//
// A lost device is brought back by the reader: a serial device that hangs up
// or fails is reopened once its path opens again, and a device server over
// TCP is reconnected, with a wait of 1 s growing to 30 s between attempts.
// The record's descriptor number never changes while the port is open: the
// reader puts the new device behind it with dup3, and while the device is
// lost a dead stand-in sits there, so a write from the main thread meets
// either a device or a clean failure, never a reused descriptor.
#include "serial/comms.h"

#include "platform/loop.h"
#include "serial/device.h"
#include "serial/ring.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <memory>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kReadBufferSize = 256;    // the reader's own receive buffer
constexpr uint32_t kRearmMs = 100;      // a new notification after this long
constexpr int32_t kRearmPending = 8192; // or at once above this many bytes
constexpr int kWriteTimeoutMs = 1000;
constexpr int kBackoffMinMs = 1000;     // first wait before reopening a lost device
constexpr int kBackoffMaxMs = 30000;    // the longest wait
constexpr int kConnectTimeoutMs = 5000; // one connection attempt to a device server
constexpr uint32_t kSettledMs = 30000;  // a device up this long starts back-off afresh

struct PORTINFO {
    // Fixed while the port is open; the reader only reads them.
    int Fd = -1;      // the device (or its stand-in); -1 means the record is free
    int WakeFd = -1;  // eventfd that ends the reader's wait
    int32_t Baud = 0, ByteSize = 0, StopBits = 0, Parity = 0;
    int32_t Port = 0;  // COM number
    DeviceAddress Address;
    std::unique_ptr<RingBuffer> Ring;
    // Main thread only.
    pthread_t Thread{};
    LineCounters Lines;
    // Reader thread only.
    uint32_t LastNotifyTick = 0;
    // Shared between the reader and the main thread.
    std::atomic<int32_t> Run{0};
    std::atomic<HWND> NotifyWindow{0};
    std::atomic<int32_t> NotifyOutstanding{0};
    std::atomic<int32_t> Pending{0};  // delivered and not yet read
    std::atomic<uint32_t> Errors{0};  // CE_* bits noted since CommGetStatus
    std::atomic<uint64_t> Passes{0};  // times the reader left its wait
    std::atomic<int32_t> Paused{0};   // the ring is full: the reader waits for CommRead
    std::atomic<int32_t> LinkUp{1};   // the device is there (as far as the reader knows)
    std::atomic<uint32_t> LinkChanges{0};  // times LinkUp changed
};

PORTINFO *PortTable = nullptr;

bool ValidIndex(int index) { return index >= 0 && index < kCommPorts; }

// The open record of index, or null.
PORTINFO *OpenRecord(int index)
{
    if (!ValidIndex(index) || !PortTable || PortTable[index].Fd < 0)
        return nullptr;
    return &PortTable[index];
}

// Back to the free state; only once the reader has ended.
void ClearRecord(PORTINFO *rec)
{
    rec->Fd = -1;
    rec->WakeFd = -1;
    rec->Baud = rec->ByteSize = rec->StopBits = rec->Parity = 0;
    rec->Port = 0;
    rec->Address = DeviceAddress{};
    rec->Ring.reset();
    rec->Thread = pthread_t{};
    rec->Lines = LineCounters{};
    rec->LastNotifyTick = 0;
    rec->Run.store(0);
    rec->NotifyWindow.store(0);
    rec->NotifyOutstanding.store(0);
    rec->Pending.store(0);
    rec->Errors.store(0);
    rec->Passes.store(0);
    rec->Paused.store(0);
    rec->LinkUp.store(1);
    rec->LinkChanges.store(0);
}

void FreeTableIfIdle()
{
    if (!PortTable)
        return;
    for (int i = 0; i < kCommPorts; ++i)
        if (PortTable[i].Fd >= 0)
            return;
    delete[] PortTable;
    PortTable = nullptr;
}

// Tells the notify window that bytes wait, at most one notification
// outstanding.  Runs on the reader thread.
void Announce(PORTINFO *rec, int32_t pending)
{
    uint32_t now = GetTickCount();
    if (now - rec->LastNotifyTick >= kRearmMs || pending > kRearmPending)
        rec->NotifyOutstanding.store(0);
    HWND window = rec->NotifyWindow.load();
    if (window != 0 && rec->NotifyOutstanding.exchange(1) == 0) {
        rec->LastNotifyTick = now;
        PostMessage(window, WM_COMMNOTIFY, static_cast<WPARAM>(rec->Port - 1),
                    MAKELPARAM(0, static_cast<uint16_t>(pending)));
    }
}

// Puts received bytes into the ring and announces them.  The reader never
// reads more than the ring's free room, and only the main thread takes bytes
// out (which makes room), so the whole chunk fits; a guard that is not had
// in time is waited for again rather than dropping bytes already taken from
// the device.  Runs on the reader thread.
void Deliver(PORTINFO *rec, const uint8_t *bytes, int n)
{
    int done = 0;
    while (done < n && rec->Run.load() != 0) {
        int appended = RingAppend(rec->Ring.get(), bytes + done, n - done);
        if (appended < 0)
            continue;  // each try waited up to kRingWaitMs: no spin
        if (appended == 0)
            break;  // cannot happen: the room was asked for before the read
        done += appended;
    }
    if (done > 0)
        Announce(rec, rec->Pending.fetch_add(done) + done);
}

// The ring's free room for the next read.  0 means full: the reader pauses
// (stops watching the device, whose bytes wait in the kernel) until
// CommRead makes room and wakes it.  The flag is raised before the room is
// looked at again, so a read that makes room in between either sees the
// flag and wakes the reader, or is seen here.
int RoomForRead(PORTINFO *rec)
{
    int room;
    while ((room = RingRoom(rec->Ring.get())) < 0)
        if (rec->Run.load() == 0)
            return 0;
    if (room > 0)
        return room;
    rec->Paused.store(1);
    while ((room = RingRoom(rec->Ring.get())) < 0)
        if (rec->Run.load() == 0)
            return 0;
    if (room > 0)
        rec->Paused.store(0);
    return room;
}

// One read after poll() reported the device, at most room bytes.  Returns
// false when the device is gone (hung up, I/O error, closed under us).
bool ReadDevice(PORTINFO *rec, short revents, uint8_t *buffer, int room)
{
    size_t want = room < kReadBufferSize ? static_cast<size_t>(room) : kReadBufferSize;
    ssize_t got = read(rec->Fd, buffer, want);
    if (got > 0) {
        Deliver(rec, buffer, static_cast<int>(got));
        return true;
    }
    bool transient = got < 0 && (errno == EAGAIN || errno == EINTR);
    return transient && !(revents & (POLLHUP | POLLERR | POLLNVAL));
}

// The link changed (lost, or back): the port manager reports each change
// once.  The notify window is told at once; a port without one is looked
// at on its next transmission.
void NoteLink(PORTINFO *rec, bool up)
{
    if ((rec->LinkUp.load() != 0) == up)
        return;
    rec->LinkUp.store(up ? 1 : 0);
    rec->LinkChanges.fetch_add(1);
    HWND window = rec->NotifyWindow.load();
    if (window != 0)
        PostMessage(window, WM_COMMNOTIFY, static_cast<WPARAM>(rec->Port - 1), 0);
}

// The reader's view of its device.
struct ReaderLink {
    bool Up;            // the device is there and watched
    int BackoffMs;      // wait before the next reopen while it is not
    uint32_t UpSince;   // tick of the last (re)open
};

int NextBackoff(int ms)
{
    if (ms < kBackoffMinMs)
        return kBackoffMinMs;
    return ms > kBackoffMaxMs / 2 ? kBackoffMaxMs : ms * 2;
}

// The device is gone: put a dead stand-in behind the descriptor (which also
// lets go of the device and its lock) and wait before trying it again.  A
// device that held out for a while is retried soon; one that drops at once
// keeps backing off.
void GoDown(PORTINFO *rec, ReaderLink *link)
{
    if (!rec->Address.Tcp)
        ioctl(rec->Fd, TIOCNXCL);
    int dead = DeadDescriptor();
    if (dead >= 0) {
        dup3(dead, rec->Fd, O_CLOEXEC);
        close(dead);
    }
    rec->Errors.fetch_or(CE_IOE);  // once seen, writes already fail
    NoteLink(rec, false);
    bool lasted = GetTickCount() - link->UpSince >= kSettledMs;
    link->BackoffMs = lasted ? kBackoffMinMs : NextBackoff(link->BackoffMs);
    link->Up = false;
}

// One attempt to get the device back.
void TryReopen(PORTINFO *rec, ReaderLink *link)
{
    int fd = -1;
    if (rec->Address.Tcp) {
        fd = TcpConnect(rec->Address, rec->WakeFd, kConnectTimeoutMs);
    } else if (DeviceOpenPath(rec->Address.Path, &fd) == 0 &&
               !DeviceConfigure(fd, rec->Baud, rec->ByteSize, rec->StopBits, rec->Parity)) {
        DeviceClose(fd);
        fd = -1;
    }
    if (fd < 0 || dup3(fd, rec->Fd, O_CLOEXEC) < 0) {
        if (fd >= 0)
            DeviceClose(fd);
        rec->Errors.fetch_or(CE_IOE);  // still lost
        NoteLink(rec, false);         // a device server that cannot be reached
        link->BackoffMs = NextBackoff(link->BackoffMs);
        return;
    }
    close(fd);  // the device (and its lock) lives on behind rec->Fd
    link->Up = true;
    link->UpSince = GetTickCount();
    NoteLink(rec, true);
}

// The reader thread.  It sleeps in poll() until bytes arrive or CommClose
// wakes it, so an idle port costs no wake-ups.  A device that hangs up or
// fails (a USB adapter pulled out, the far side of a pseudo-terminal closed,
// a device server gone) reports itself ready for ever; the reader then stops
// watching it and only wakes to try it again, 1 s after the loss at first and
// then ever less often, up to every 30 s.  A device server is connected from
// here rather than by CommOpen, so that opening never waits for the network.
void *ReaderMain(void *arg)
{
    PORTINFO *rec = static_cast<PORTINFO *>(arg);
    uint8_t buffer[kReadBufferSize];
    ReaderLink link{!rec->Address.Tcp, 0, GetTickCount()};
    while (rec->Run.load() != 0) {
        int room = link.Up ? RoomForRead(rec) : 0;
        bool watch = link.Up && room > 0;  // a full ring leaves the bytes in the kernel
        pollfd fds[2] = {{rec->WakeFd, POLLIN, 0}, {rec->Fd, POLLIN, 0}};
        int ready = poll(fds, watch ? 2 : 1, link.Up ? -1 : link.BackoffMs);
        rec->Passes.fetch_add(1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            rec->Errors.fetch_or(CE_IOE);
            break;  // poll itself is broken: end; CommClose still joins
        }
        if (fds[0].revents != 0) {
            uint64_t count;
            if (read(rec->WakeFd, &count, sizeof count) < 0 && errno != EAGAIN)
                break;
            continue;
        }
        if (watch && fds[1].revents != 0 && !ReadDevice(rec, fds[1].revents, buffer, room))
            GoDown(rec, &link);
        else if (!link.Up && ready == 0)
            TryReopen(rec, &link);
    }
    return nullptr;
}

// Starts the reader with every signal blocked, so that process signals
// stay with the main thread.
bool StartReader(PORTINFO *rec)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int result = pthread_create(&rec->Thread, nullptr, ReaderMain, rec);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return result == 0;
}

void StopReader(PORTINFO *rec)
{
    rec->Run.store(0);
    uint64_t one = 1;
    if (write(rec->WakeFd, &one, sizeof one) < 0) {
        // An eventfd only refuses at a count near 2^64: the reader is awake.
    }
    pthread_join(rec->Thread, nullptr);
}

// The device of a new port: a serial device opened and configured now, or
// for a device server a dead stand-in until the reader has connected.
int OpenDevice(int port, const int32_t line[4], DeviceAddress *address, int *fd)
{
    termios check{};  // settings the line cannot take fail now, also for a server
    if (!DeviceAddressOf(port, address) ||
        !DeviceLineSettings(&check, line[0], line[1], line[2], line[3]))
        return -1;
    if (address->Tcp) {
        *fd = DeadDescriptor();
        return *fd >= 0 ? 0 : -1;
    }
    int result = DeviceOpenPath(address->Path, fd);
    if (result == 0 && !DeviceConfigure(*fd, line[0], line[1], line[2], line[3]))
        result = -1;  // the caller closes *fd
    return result;
}

// Fills the free record of port with its open device and starts its reader.
// On failure the record is left free; the caller closes the device.
bool StartPort(PORTINFO *rec, int fd, int port, const int32_t line[4], const DeviceAddress &address)
{
    rec->Ring.reset(new (std::nothrow) RingBuffer);
    rec->WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!rec->Ring || rec->WakeFd < 0) {
        if (rec->WakeFd >= 0)
            close(rec->WakeFd);
        ClearRecord(rec);
        return false;
    }
    rec->Fd = fd;
    rec->Port = port;
    rec->Baud = line[0];
    rec->ByteSize = line[1];
    rec->StopBits = line[2];
    rec->Parity = line[3];
    rec->Address = address;
    DeviceLineErrors(fd, &rec->Lines);  // the counts so far are not ours
    rec->Run.store(1);
    if (!StartReader(rec)) {
        close(rec->WakeFd);
        ClearRecord(rec);
        return false;
    }
    return true;
}

}  // namespace

int CommOpen(int port, int baud, int byteSize, int stopBits, int parity)
{
    if (port < 1 || port > kCommPorts)
        return -1;
    if (!PortTable) {
        PortTable = new (std::nothrow) PORTINFO[kCommPorts];
        if (!PortTable)
            return -1;
    }
    PORTINFO *rec = &PortTable[port - 1];
    if (rec->Fd >= 0)
        return -2;  // we hold it already: the device is in use
    const int32_t line[4] = {baud, byteSize, stopBits, parity};
    DeviceAddress address;
    int fd = -1;
    int result = OpenDevice(port, line, &address, &fd);
    if (result == 0 && !StartPort(rec, fd, port, line, address))
        result = -1;
    if (result != 0) {
        DeviceClose(fd);
        FreeTableIfIdle();
        return result;
    }
    return port - 1;
}

void CommClose(int index)
{
    if (!PortTable)
        return;
    if (index != -1 && !ValidIndex(index))
        return;
    if (PORTINFO *rec = OpenRecord(index)) {
        StopReader(rec);
        tcflush(rec->Fd, TCIFLUSH);
        DeviceClose(rec->Fd);
        close(rec->WakeFd);
        ClearRecord(rec);
    }
    FreeTableIfIdle();
}

bool CommIsOpen(int index) { return OpenRecord(index) != nullptr; }

int CommRead(int index, uint8_t *buffer, int count)
{
    PORTINFO *rec = OpenRecord(index);
    if (!rec || !buffer || count <= 0)
        return 0;
    // Re-armed before the take: bytes the reader adds after it then post a
    // fresh notification.  Re-armed after it, bytes added in between would
    // find the old one still outstanding and wait for the next byte.
    rec->NotifyOutstanding.store(0);
    int left = 0;
    int taken = RingTake(rec->Ring.get(), buffer, count, &left);
    rec->Pending.fetch_sub(taken);
    // A paused reader goes on once a whole read's worth is free, so that
    // draining a full ring byte by byte does not wake it for every byte.
    if (kRingSize - 1 - left >= kReadBufferSize && rec->Paused.exchange(0) != 0) {
        uint64_t one = 1;
        if (write(rec->WakeFd, &one, sizeof one) < 0) {
            // Only a count near 2^64 is refused: the reader is awake anyway.
        }
    }
    return taken;
}

namespace {

// Writes everything, waiting for room at most kWriteTimeoutMs in all.
bool WriteAll(PORTINFO *rec, const uint8_t *data, int length)
{
    uint32_t start = GetTickCount();
    int done = 0;
    while (done < length) {
        size_t left = static_cast<size_t>(length - done);
        // A server that has gone must not raise SIGPIPE in the driver.
        ssize_t n = rec->Address.Tcp ? send(rec->Fd, data + done, left, MSG_NOSIGNAL)
                                     : write(rec->Fd, data + done, left);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            rec->Errors.fetch_or(CE_IOE);
            return false;
        }
        int remainingMs = kWriteTimeoutMs - static_cast<int>(GetTickCount() - start);
        pollfd out{rec->Fd, POLLOUT, 0};
        if (remainingMs <= 0 || poll(&out, 1, remainingMs) == 0) {
            rec->Errors.fetch_or(CE_TXFULL);
            return false;
        }
    }
    return true;
}

}  // namespace

int CommWrite(int index, const uint8_t *data, int length)
{
    if (!ValidIndex(index))
        return -2;
    if (!PortTable)
        return -3;
    PORTINFO *rec = OpenRecord(index);
    if (!rec || length < 0 || (length > 0 && !data))
        return -1;
    return WriteAll(rec, data, length) ? length : -1;
}

int CommSetNotify(int index, HWND window, int chunk)
{
    PORTINFO *rec = OpenRecord(index);
    if (!rec)
        return 0;
    if (chunk < 0) {
        rec->NotifyWindow.store(0);
        return 1;
    }
    rec->NotifyWindow.store(window);
    return 1;
}

int CommGetStatus(int index, COMSTAT *status)
{
    PORTINFO *rec = OpenRecord(index);
    if (!rec)
        return -1;
    int unread = RingCount(rec->Ring.get());
    uint32_t errors = rec->Errors.exchange(0) | DeviceLineErrors(rec->Fd, &rec->Lines);
    if (status) {
        int queued = 0;
        status->cbInQue = static_cast<uint32_t>(unread);
        status->cbOutQue = ioctl(rec->Fd, TIOCOUTQ, &queued) == 0 ? static_cast<uint32_t>(queued) : 0;
    }
    return static_cast<int>(errors);
}

int CommPurge(int index, uint32_t flags)
{
    PORTINFO *rec = OpenRecord(index);
    if (!rec)
        return 0;
    bool ok = true;
    if (flags & PURGE_RXCLEAR)
        ok = tcflush(rec->Fd, TCIFLUSH) == 0 && ok;
    if (flags & PURGE_TXCLEAR)
        ok = tcflush(rec->Fd, TCOFLUSH) == 0 && ok;
    return ok ? 1 : 0;  // writes finish before CommWrite returns: nothing to abort
}

int CommLinkState(int index, uint32_t *changes)
{
    PORTINFO *rec = OpenRecord(index);
    if (!rec)
        return -1;
    if (changes)
        *changes = rec->LinkChanges.load();
    return rec->LinkUp.load();
}

bool CommTableExists() { return PortTable != nullptr; }

uint64_t CommReaderPasses(int index)
{
    PORTINFO *rec = OpenRecord(index);
    return rec ? rec->Passes.load() : 0;
}
