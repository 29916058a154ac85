// The nested wait: while one of our sends (or a broadcast) waits for its
// reply, the waiting thread goes on accepting connections and serving the
// sends that arrive for our own windows.
#include "platform/businternal.h"

#include <poll.h>

#include <chrono>

int64_t BusNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until one of `watch` shows its events or the deadline passes.
// Meanwhile the waiting thread keeps serving sends for our own windows
// (posts are queued), as a program that parked them behind its own wait
// would deadlock with a peer that answers by sending to it first.  A last
// look is taken when the time is up, so a reply that is already there still
// counts.  A stop request seen meanwhile makes later waits end at once.
bool BusWaitServingSet(std::vector<pollfd> *watch, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - BusNowMs();
        std::vector<pollfd> set(*watch);
        size_t own = set.size();
        if (TheBus.stopFd >= 0 && !TheBus.stopSeen)
            set.push_back(pollfd{TheBus.stopFd, POLLIN, 0});
        size_t serveFrom = set.size();
        if (TheBus.depth <= kBusMaxNesting) {
            for (auto &l : TheBus.listeners)
                if (!l.paused)
                    set.push_back(pollfd{l.fd, POLLIN, 0});
            for (auto &a : TheBus.conns.accepted)
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
            TheBus.stopSeen = true;
        for (size_t i = serveFrom; n > 0 && i < set.size(); ++i) {
            if (!set[i].revents)
                continue;
            if (BusIsListener(set[i].fd))
                BusAcceptAll(set[i].fd);
            else
                BusServeConnection(set[i].fd);
        }
        if (left <= 0)
            return false;
    }
}

bool BusWaitServing(int fd, short events, int64_t deadline)
{
    std::vector<pollfd> watch;
    if (fd >= 0)
        watch.push_back(pollfd{fd, events, 0});
    return BusWaitServingSet(&watch, deadline);
}

// The bound of a wait starting now: none left once a stop was requested.
int64_t BusDeadlineFromNow()
{
    return BusNowMs() + (TheBus.stopSeen ? 0 : kBusBoundMs);
}
