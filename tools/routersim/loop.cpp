// The simulator's event loop: bytes from the driver go to the protocol's
// router one at a time, command lines from standard input steer it.  The
// loop sleeps in ppoll.  A pseudo-terminal with no slave open reports a
// hang-up without end, so while nobody has it open it is not watched: it is
// checked ten times a second instead, the loop's only timed wake-up.  On
// TCP the line is the connection of the moment: when it ends, the loop
// waits for the next one at its listener.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sstream>
#include <unistd.h>

#include "core.h"

namespace {

constexpr size_t kMaxCommandLine = 1024;
constexpr int kHangupRecheckMs = 100;
constexpr int kMaxSource = 65535;

volatile sig_atomic_t QuitSignal = 0;

void OnSignal(int) { QuitSignal = 1; }

struct Loop {
    SimRouter *r = nullptr;
    const SimProtocol *protocol = nullptr;
    int fd = -1;          // the line; on TCP -1 while nobody is connected
    int listener = -1;    // TCP: where the driver connects, one at a time
    bool stdinQuit = false;
    bool stdinOpen = true;
    bool hungUp = false;  // nobody has the terminal open: not watched until opened
    bool quit = false;
    bool discarding = false;  // dropping the rest of an over-long command line
    std::string pending;
};

bool ReadWhole(const std::string &word, int low, int high, int *value)
{
    if (word.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(word.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || v < low || v > high)
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool Switch(const std::string &word, bool *flag)
{
    if (word != "on" && word != "off")
        return false;
    *flag = word == "on";
    return true;
}

void Dump(const SimRouter &r)
{
    for (int level = 0; level < r.levels; ++level)
        for (int d = 1; d <= r.dests; ++d)
            SimLog("XPT %d %d %d", level + 1, d, SimXpt(r, level, d));
}

// "burst BYTES": the router changes crosspoints of level 1 on its own, one
// destination after the other (1, 2, ... and round again), each to the next
// source, and reports every change, all in one write of at least BYTES
// bytes (a burst of tally lines after a salvo on the router's panel).
bool Burst(Loop &l, int bytes)
{
    SimRouter &r = *l.r;
    if (!l.protocol->announce || r.sources < 1)
        return false;
    SimBatchBegin();
    for (int d = 1; SimBatchSize() < static_cast<size_t>(bytes); d = d % r.dests + 1) {
        int old = SimXpt(r, 0, d);
        SimSetXpt(r, 0, d, old < 1 ? 1 : old % r.sources + 1);
        l.protocol->announce(r, d);
    }
    return SimBatchEnd();
}

// One command line; true when it was understood and done.
bool Command(Loop &l, const std::vector<std::string> &w)
{
    SimRouter &r = *l.r;
    const std::string &verb = w[0];
    int level = 0, dest = 0, source = 0;
    if ((verb == "silent" || verb == "garbage") && w.size() == 2)
        return Switch(w[1], verb == "silent" ? &r.silent : &r.garbage);
    if (verb == "set" && w.size() == 4 && ReadWhole(w[1], 1, r.levels, &level) &&
        ReadWhole(w[2], 1, r.dests, &dest) && ReadWhole(w[3], -1, kMaxSource, &source)) {
        SimSetXpt(r, level - 1, dest, source);
        if (l.protocol->announce)
            l.protocol->announce(r, dest);
        return true;
    }
    if (verb == "announce" && w.size() == 2 && l.protocol->announce &&
        ReadWhole(w[1], 1, r.dests, &dest)) {
        l.protocol->announce(r, dest);
        return true;
    }
    if (verb == "burst" && w.size() == 2 && ReadWhole(w[1], 1, 16 * 1024 * 1024, &source))
        return Burst(l, source);
    if (verb == "dump" && w.size() == 1) {
        Dump(r);
        return true;
    }
    if (verb == "quit" && w.size() == 1) {
        l.quit = true;
        return true;
    }
    return false;
}

void CommandLine(Loop &l, const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (words.size() < 8 && in >> word)
        words.push_back(word);
    if (words.empty())
        return;
    std::string joined = words[0];
    for (size_t i = 1; i < words.size(); ++i)
        joined += " " + words[i];
    if (Command(l, words))
        SimLog("OK %s", joined.c_str());
    else
        SimLog("ERR %s", joined.c_str());
}

void ReadCommands(Loop &l)
{
    char chunk[512];
    ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        l.stdinOpen = false;
        l.quit = l.quit || l.stdinQuit;
        return;
    }
    for (ssize_t i = 0; i < n && !l.quit; ++i) {
        char c = chunk[i];
        if (c == '\n') {
            if (!l.discarding)
                CommandLine(l, l.pending);
            l.pending.clear();
            l.discarding = false;
        } else if (!l.discarding && c != '\r') {
            l.pending += c;
            if (l.pending.size() > kMaxCommandLine) {
                SimLog("ERR command line too long");
                l.pending.clear();
                l.discarding = true;
            }
        }
    }
}

void HangUp(Loop &l)
{
    if (l.listener >= 0) {
        // The driver's connection ended: let it go and wait for the next.
        close(l.fd);
        l.fd = -1;
        SimSetDevice(-1);  // what the router says meanwhile is dropped
        SimLog("CLOSED");
        return;
    }
    if (!l.hungUp)
        SimLog("CLOSED");
    l.hungUp = true;
}

void ReadDevice(Loop &l)
{
    uint8_t bytes[4096];
    ssize_t n = read(l.fd, bytes, sizeof bytes);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        HangUp(l);  // EIO on a master whose slave was closed
        return;
    }
    for (ssize_t i = 0; i < n; ++i)
        l.protocol->byte(*l.r, bytes[i]);
}

// A driver connects.  Like a device server set for one connection, the
// simulator serves one at a time: another one meanwhile is closed at once.
void AcceptDriver(Loop &l)
{
    std::string peer;
    int fd = SimAcceptTcp(l.listener, &peer);
    if (fd < 0)
        return;
    if (l.fd >= 0) {
        SimLog("REFUSED %s", peer.c_str());
        close(fd);
        return;
    }
    l.fd = fd;
    SimSetDevice(fd);
    SimLog("OPEN %s", peer.c_str());
}

void RecheckHangup(Loop &l)
{
    pollfd p{l.fd, POLLIN, 0};
    if (poll(&p, 1, 0) >= 0 && !(p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        l.hungUp = false;
        SimLog("OPEN");
    }
}

void InstallSignals(sigset_t *waitMask)
{
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: ppoll must return
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(s, &sa, nullptr);
        sigaddset(&blocked, s);
    }
    // Blocked except inside ppoll, so a signal can never slip in between the
    // check of the flag and the wait.
    sigprocmask(SIG_BLOCK, &blocked, waitMask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(waitMask, s);
}

// One wait and what it brought: bytes or a hang-up on the line, a driver
// at the listener, command lines.  False when the wait itself failed.
bool WaitOnce(Loop &l, const sigset_t *waitMask)
{
    pollfd fds[3];
    nfds_t n = 0;
    int device = -1, listener = -1, input = -1;
    if (!l.hungUp && l.fd >= 0) {
        device = static_cast<int>(n);
        fds[n++] = pollfd{l.fd, POLLIN, 0};
    }
    if (l.listener >= 0) {
        listener = static_cast<int>(n);
        fds[n++] = pollfd{l.listener, POLLIN, 0};
    }
    if (l.stdinOpen) {
        input = static_cast<int>(n);
        fds[n++] = pollfd{STDIN_FILENO, POLLIN, 0};
    }
    timespec recheck{0, kHangupRecheckMs * 1000000L};
    int ready = ppoll(fds, n, l.hungUp ? &recheck : nullptr, waitMask);
    if (ready < 0 && errno != EINTR) {
        SimLog("ERR poll: %s", std::strerror(errno));
        return false;
    }
    // The line first: a driver that reconnects has closed its old
    // connection before it opened the new one.
    if (ready > 0 && device >= 0 && fds[device].revents & POLLIN)
        ReadDevice(l);
    else if (ready > 0 && device >= 0 && fds[device].revents)
        HangUp(l);
    if (ready > 0 && listener >= 0 && fds[listener].revents)
        AcceptDriver(l);
    if (ready > 0 && input >= 0 && fds[input].revents)
        ReadCommands(l);
    if (l.hungUp && device < 0)
        RecheckHangup(l);
    return true;
}

}  // namespace

int RunSimulator(SimRouter &r, const SimProtocol &protocol, int fd, int listener,
                 bool stdinQuit, bool startClosed)
{
    Loop l;
    l.r = &r;
    l.protocol = &protocol;
    l.fd = fd;
    l.listener = listener;
    l.stdinQuit = stdinQuit;
    l.hungUp = startClosed;
    sigset_t waitMask;
    InstallSignals(&waitMask);
    if (protocol.start)
        protocol.start(r);
    SimLog("READY %s sources=%d dests=%d levels=%d min-dest=%d", protocol.name, r.sources,
           r.dests, r.levels, r.minDest);
    int status = 0;
    while (!l.quit && !QuitSignal && status == 0)
        if (!WaitOnce(l, &waitMask))
            status = 1;
    if (l.listener >= 0 && l.fd >= 0)
        close(l.fd);
    if (status == 0)
        SimLog("QUIT");
    return status;
}
