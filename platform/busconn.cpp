// The bus's connection table and its limits (see busconn.h).
#include "platform/busconn.h"

#include <algorithm>

BusLimits BusBounds;

namespace {

// The longest-idle connection that is not busy, among those `take` accepts.
template <typename Pred>
int LongestIdle(const ConnTable &t, Pred take)
{
    int best = -1;
    int64_t oldest = 0;
    for (const auto &[fd, c] : t.accepted) {
        if (c.busy || !take(c))
            continue;
        if (best < 0 || c.lastActive < oldest) {
            best = fd;
            oldest = c.lastActive;
        }
    }
    return best;
}

}  // namespace

int ConnToEvict(const ConnTable &t, pid_t peer, size_t maxAccepted)
{
    size_t mine = 0;
    for (const auto &entry : t.accepted)
        mine += entry.second.peer == peer;
    int victim = -1;
    if (mine >= BusBounds.maxPerPeer)
        victim = LongestIdle(t, [&](const AcceptedConn &c) { return c.peer == peer; });
    else if (t.accepted.size() >= maxAccepted)
        victim = LongestIdle(t, [](const AcceptedConn &) { return true; });
    else
        return -1;
    return victim >= 0 ? victim : -2;
}

std::vector<int> ConnsIdle(const ConnTable &t, int64_t now)
{
    std::vector<int> out;
    for (const auto &[fd, c] : t.accepted)
        if (!c.busy && now - c.lastActive >= BusBounds.idleMs)
            out.push_back(fd);
    return out;
}

int ConnLongestIdle(const ConnTable &t)
{
    return LongestIdle(t, [](const AcceptedConn &) { return true; });
}

bool ConnChargePost(ConnTable *t, int fd, uint64_t bytes)
{
    auto it = t->accepted.find(fd);
    if (it == t->accepted.end())
        return false;
    AcceptedConn &c = it->second;
    if (c.posts + 1 > BusBounds.postsPerConn || c.bytes + bytes > BusBounds.bytesPerConn ||
        t->posts + 1 > BusBounds.postsTotal || t->bytes + bytes > BusBounds.bytesTotal)
        return false;
    ++c.posts;
    c.bytes += bytes;
    ++t->posts;
    t->bytes += bytes;
    return true;
}

void ConnReleasePost(ConnTable *t, int fd, uint64_t serial, uint64_t bytes)
{
    t->posts -= std::min<uint32_t>(t->posts, 1);
    t->bytes -= std::min(t->bytes, bytes);
    auto it = t->accepted.find(fd);
    if (it == t->accepted.end() || it->second.serial != serial)
        return;
    AcceptedConn &c = it->second;
    c.posts -= std::min<uint32_t>(c.posts, 1);
    c.bytes -= std::min(c.bytes, bytes);
}

int KeptTake(KeptSet *s, HWND target)
{
    auto it = std::find_if(s->conns.begin(), s->conns.end(),
                           [&](const KeptConn &k) { return k.target == target; });
    if (it == s->conns.end())
        return -1;
    int fd = it->fd;
    s->conns.erase(it);
    return fd;
}

int KeptFind(KeptSet *s, HWND target)
{
    for (auto &k : s->conns) {
        if (k.target == target) {
            k.lastUse = ++s->clock;
            return k.fd;
        }
    }
    return -1;
}

std::vector<int> KeptPut(KeptSet *s, HWND target, int fd, size_t max)
{
    std::vector<int> out;
    int old = KeptTake(s, target);
    if (old >= 0 && old != fd)
        out.push_back(old);
    s->conns.push_back(KeptConn{target, fd, ++s->clock});
    while (s->conns.size() > std::max<size_t>(max, 1)) {
        auto lru = std::min_element(s->conns.begin(), s->conns.end(),
                                    [](const KeptConn &a, const KeptConn &b) {
                                        return a.lastUse < b.lastUse;
                                    });
        out.push_back(lru->fd);
        s->conns.erase(lru);
    }
    return out;
}

std::vector<int> KeptDrop(KeptSet *s, HWND target)
{
    std::vector<int> out;
    std::erase_if(s->conns, [&](const KeptConn &k) {
        if (target != 0 && k.target != target)
            return false;
        out.push_back(k.fd);
        return true;
    });
    return out;
}
