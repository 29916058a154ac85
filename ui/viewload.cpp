// Finding a display and loading the window module.  Nothing here touches
// Qt: a run that stays headless never maps a Qt library.
#include "ui/view.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#ifndef WEX_VIEW_SUBDIR
#define WEX_VIEW_SUBDIR "../lib/wex"
#endif

namespace {

constexpr const char *kModuleName = "wexview.so";

// Connects a Unix socket (a leading '@' names an abstract one); true if a
// server accepts.
bool UnixAccepts(const std::string &path)
{
    sockaddr_un a{};
    if (path.empty() || path.size() >= sizeof a.sun_path)
        return false;
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.data(), path.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    if (path[0] == '@')
        a.sun_path[0] = '\0';
    else
        len = sizeof a;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), len) == 0;
    close(fd);
    return ok;
}

// A TCP connect bounded by one second (a forwarded display of an SSH session).
bool TcpAccepts(const std::string &host, int port)
{
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0)
        return false;
    bool ok = false;
    for (addrinfo *r = res; r && !ok; r = r->ai_next) {
        int fd = socket(r->ai_family, r->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, r->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, r->ai_addr, r->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int err = 0;
            socklen_t el = sizeof err;
            ok = poll(&p, 1, 1000) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) == 0 && err == 0;
        }
        close(fd);
    }
    freeaddrinfo(res);
    return ok;
}

// DISPLAY is [host]:number[.screen]; an empty host or "unix" is this machine.
bool XServerAccepts(const std::string &display)
{
    size_t colon = display.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = display.substr(0, colon);
    if (size_t slash = host.find('/'); slash != std::string::npos)
        host = host.substr(slash + 1);  // "tcp/host" or "unix/host"
    char *end = nullptr;
    long number = std::strtol(display.c_str() + colon + 1, &end, 10);
    if (end == display.c_str() + colon + 1 || number < 0 || number > 59535)
        return false;
    if (host.empty() || host == "unix") {
        std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        return UnixAccepts(path) || UnixAccepts("@" + path);
    }
    if (host[0] == '/')
        return UnixAccepts(display.substr(0, colon));
    return TcpAccepts(host, 6000 + static_cast<int>(number));
}

bool WaylandAccepts(const char *name)
{
    if (name[0] == '/')
        return UnixAccepts(name);
    const char *dir = std::getenv("XDG_RUNTIME_DIR");
    return dir && UnixAccepts(std::string(dir) + "/" + name);
}

std::string ProgramDirectory()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    char *slash = std::strrchr(path, '/');
    return slash ? std::string(path, static_cast<size_t>(slash - path)) : ".";
}

}  // namespace

bool DisplayReachable(std::string *why)
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    const char *x = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    std::string name = platform ? std::string(platform, std::strcspn(platform, ":;")) : "";
    bool wantX = name == "xcb" || (name.empty() && x && *x);
    bool wantWayland = name.rfind("wayland", 0) == 0 || (name.empty() && !wantX && wayland && *wayland);
    why->clear();
    if (!name.empty() && !wantX && !wantWayland)
        return true;  // offscreen, vnc, eglfs...: Qt needs no server
    if (wantX) {
        if (x && *x && XServerAccepts(x))
            return true;
        *why = x && *x ? std::string("cannot connect to X display ") + x : "DISPLAY is not set";
        return false;
    }
    if (wantWayland) {
        if (wayland && *wayland && WaylandAccepts(wayland))
            return true;
        *why = wayland && *wayland ? std::string("cannot connect to Wayland display ") + wayland
                                   : "WAYLAND_DISPLAY is not set";
        return false;
    }
    return false;  // no display named: headless without a word
}

const ViewModule *ViewLoad(std::string *why)
{
    std::string dir = ProgramDirectory();
    const std::string candidates[] = {dir + "/" + kModuleName,
                                      dir + "/" WEX_VIEW_SUBDIR "/" + kModuleName};
    for (const std::string &path : candidates) {
        if (access(path.c_str(), F_OK) != 0)
            continue;
        void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char *e = dlerror();
            *why = e ? e : path + ": cannot be loaded";
            return nullptr;
        }
        auto entry = reinterpret_cast<ViewModuleEntry>(dlsym(handle, "WexViewModule"));
        const ViewModule *m = entry ? entry() : nullptr;
        if (m && m->version == kViewModuleVersion)
            return m;
        *why = path + " is not a window module of this version";
        return nullptr;
    }
    *why = std::string("the window module ") + kModuleName + " is not installed";
    return nullptr;
}
