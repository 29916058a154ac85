// The simulated router behind a serial device server: the driver reaches
// it over raw TCP (its [Serial] COMn is tcp:HOST:PORT), one connection at a
// time, and every byte passes unchanged both ways as on the serial line.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core.h"

namespace {

constexpr int kBacklog = 4;

bool ValidPort(const std::string &text)
{
    if (text.empty() || text.size() > 5)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return std::stol(text) <= 65535;
}

// "HOST:PORT" of a socket address, an IPv6 address in brackets.
std::string AddressText(const sockaddr *a, socklen_t length)
{
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (getnameinfo(a, length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    if (a->sa_family == AF_INET6)
        return std::string("[") + host + "]:" + service;
    return std::string(host) + ":" + service;
}

int BindOne(const addrinfo *ai)
{
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0)
        return -1;
    // A restarted simulator takes its port back at once, although the
    // connection its predecessor closed still lingers in TIME_WAIT.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, kBacklog) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

bool SimParseListen(const std::string &address, std::string *host, std::string *port)
{
    *host = "127.0.0.1";
    *port = address;
    if (!address.empty() && address[0] == '[') {  // [IPv6]:PORT
        size_t close = address.find(']');
        if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':')
            return false;
        *host = address.substr(1, close - 1);
        *port = address.substr(close + 2);
    } else if (size_t colon = address.rfind(':'); colon != std::string::npos) {
        *host = address.substr(0, colon);
        *port = address.substr(colon + 1);
    }
    return !host->empty() && ValidPort(*port);
}

int SimListenTcp(const std::string &host, const std::string &port, std::string *address,
                 std::string *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        *error = host + ": " + gai_strerror(status);
        return -1;
    }
    int fd = -1;
    errno = EADDRNOTAVAIL;
    for (const addrinfo *ai = found; ai && fd < 0; ai = ai->ai_next)
        fd = BindOne(ai);
    freeaddrinfo(found);
    if (fd < 0) {
        *error = "listen on " + host + ":" + port + ": " + std::strerror(errno);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    *address = AddressText(reinterpret_cast<sockaddr *>(&bound), length);  // the real port
    return fd;
}

int SimAcceptTcp(int listener, std::string *peer)
{
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    int fd = accept4(listener, reinterpret_cast<sockaddr *>(&from), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    int on = 1;  // a router's answers are short and awaited: no batching
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *peer = AddressText(reinterpret_cast<sockaddr *>(&from), length);
    return fd;
}
