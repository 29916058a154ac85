// A send to HWND_BROADCAST: every window socket in the bus directory at once,
// the replies awaited together under one bound.
#include "platform/businternal.h"

#include "platform/bussocket.h"
#include "platform/loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

constexpr size_t kMaxBroadcast = 4096;  // windows one broadcast reaches, lowest handles first

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
    int fd = BusConnect(TheBus.dir, w, &reason);
    if (fd < 0) {
        if (reason == EAGAIN)
            busy->push_back(w);
        return;
    }
    BusFrame g = f;
    g.target = w;
    g.sequence = TheBus.sequence++;
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
    while ((!flights->empty() || !busy->empty()) && BusNowMs() < deadline) {
        std::vector<pollfd> watch;
        for (auto &fl : *flights)
            watch.push_back(pollfd{fl.fd, POLLIN, 0});
        int64_t until = busy->empty() ? deadline : std::min(deadline, BusNowMs() + kBusBusyRetryMs);
        BusWaitServingSet(&watch, until);
        for (size_t i = watch.size(); i-- > 0;) {
            LRESULT ignored = 0;
            Flight &fl = (*flights)[i];
            if (!watch[i].revents ||
                BusReadReply(fl.fd, fl.sent, nullptr, false, &ignored) == BusReplyState::Waiting)
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
    bool hasCopy = BusCopyBlock(block, length, code, &copy);
    BusDeliver(sender, target, code, wParam, hasCopy ? 0 : lParam, hasCopy ? copy.data() : nullptr,
               length);
}

}  // namespace

// Every window socket but the sender's own: the frames go out to all at
// once and the replies are awaited together under one bound, so a silent
// window costs that bound once, not once each.  Sibling windows of this
// process are called directly meanwhile.
LRESULT BusBroadcast(HWND sender, UINT code, WPARAM wParam, LPARAM lParam, const uint8_t *block,
                     uint32_t length)
{
    std::vector<HWND> windows;
    BusScanWindows(TheBus.dir, &windows);
    if (windows.size() > kMaxBroadcast)
        windows.resize(kMaxBroadcast);
    int64_t deadline = BusDeadlineFromNow();
    ++TheBus.depth;
    BusFrame f = BusMessageFrame(kBusKindSend, sender, 0, code, wParam, lParam, block, length);
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
    // a procedure that broadcasts back cannot recurse forever
    for (HWND w : siblings)
        if (TheBus.depth <= kBusMaxNesting)
            DeliverCopy(sender, w, code, wParam, lParam, block, length);
    AwaitFlights(&flights, &busy, f, deadline);
    --TheBus.depth;
    return 0;
}
