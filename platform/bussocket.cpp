// The bus directory and its window sockets.
//
// A window's socket is dir/w0012ab34 for window 0x0012AB34: SOCK_SEQPACKET,
// listening.  It appears by bind under a temporary name (t<hex>.<pid>),
// listen, link to the w-name (which fails when the name is taken), unlink of
// the temporary name; so a w-name that is there always accepts, and one that
// refuses (ECONNREFUSED) was left by a program that died.
#include "platform/bussocket.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

bool MakeAddress(const std::string &path, sockaddr_un *addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path)
        return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A socket that refused: removed only while it is still a socket and the
// very file that refused, so a newcomer's socket of the same name is safe.
void RemoveStale(const std::string &path, const struct stat &before)
{
    struct stat now;
    if (lstat(path.c_str(), &now) == 0 && S_ISSOCK(now.st_mode) && SameFile(now, before))
        unlink(path.c_str());
}

}  // namespace

namespace {

// What is wrong with a bus directory, "" when nothing.  Only our own user's
// directory will do, root's included: whoever owns it can plant a false VEK.
std::string DirectoryFault(const struct stat &st)
{
    char detail[96] = "";
    if (!S_ISDIR(st.st_mode))
        std::snprintf(detail, sizeof detail, "is not a directory");
    else if (st.st_uid != geteuid())
        std::snprintf(detail, sizeof detail, "is owned by user %u, not by this user (%u)",
                      static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
    else if ((st.st_mode & 07777) != 0700)
        std::snprintf(detail, sizeof detail, "has mode %04o; it must be 0700",
                      static_cast<unsigned>(st.st_mode & 07777));
    return detail;
}

}  // namespace

bool BusPrepareDirectory(const std::string &dir, std::string *error)
{
    sockaddr_un addr;
    if (!MakeAddress(dir + "/t00000000.4194304", &addr)) {
        *error = "the bus directory path " + dir + " is too long for a socket name";
        return false;
    }
    bool made = mkdir(dir.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) {
        *error = "cannot create the bus directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    // The directory we made is opened without following a link (a link
    // put there since is refused); an existing one may be a link to one.
    // Everything after that looks at the opened directory only.
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (made ? O_NOFOLLOW : 0));
    if (fd < 0) {
        int err = errno;
        struct stat seen;
        std::string fault = stat(dir.c_str(), &seen) == 0 ? DirectoryFault(seen) : "";
        if (!fault.empty())  // say what is wrong with it rather than that it cannot be opened
            *error = "refusing the bus directory " + dir + ": it " + fault;
        else
            *error = "cannot use the bus directory " + dir + ": " + std::strerror(err);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && made && st.st_uid == geteuid() && (st.st_mode & 07777) != 0700)
        ok = fchmod(fd, 0700) == 0 && fstat(fd, &st) == 0;  // whatever the umask took away
    if (!ok)
        *error = "cannot use the bus directory " + dir + ": " + std::strerror(errno);
    close(fd);
    if (!ok)
        return false;
    std::string fault = DirectoryFault(st);
    if (fault.empty())
        return true;
    *error = "refusing the bus directory " + dir + ": it " + fault;
    return false;
}

std::string BusWindowPath(const std::string &dir, HWND window)
{
    char name[16];
    std::snprintf(name, sizeof name, "/w%08x", window);
    return dir + name;
}

bool BusWindowName(const char *name, HWND *window)
{
    if (name[0] != 'w' || std::strlen(name) != 9)
        return false;
    uint32_t v = 0;
    for (int i = 1; i < 9; ++i) {
        char c = name[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *window = v;
    return v != 0 && v != HWND_BROADCAST;
}

bool BusPeerTrusted(int fd, pid_t *pid)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    if (pid)
        *pid = cred.pid;
    return cred.uid == geteuid() || cred.uid == 0;
}

int BusConnect(const std::string &dir, HWND target, int *reason)
{
    std::string path = BusWindowPath(dir, target);
    sockaddr_un addr;
    struct stat before;
    *reason = ENOENT;
    if (!MakeAddress(path, &addr) || lstat(path.c_str(), &before) != 0)
        return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *reason = errno;
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        if (BusPeerTrusted(fd))
            return fd;
        *reason = EPERM;  // closed before a byte is written
    } else {
        *reason = errno == EINPROGRESS ? EAGAIN : errno;
        if (*reason == ECONNREFUSED)
            RemoveStale(path, before);
    }
    close(fd);
    return -1;
}

int BusListen(const std::string &dir, HWND window, struct stat *made)
{
    static std::mt19937 rng{std::random_device{}()};
    char tmpName[48];
    std::snprintf(tmpName, sizeof tmpName, "/t%08x.%d", static_cast<uint32_t>(rng()),
                  static_cast<int>(getpid()));
    std::string tmp = dir + tmpName;
    std::string path = BusWindowPath(dir, window);
    sockaddr_un addr;
    if (!MakeAddress(tmp, &addr))
        return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ok = ok && listen(fd, SOMAXCONN) == 0;
    ok = ok && link(tmp.c_str(), path.c_str()) == 0;
    unlink(tmp.c_str());
    ok = ok && lstat(path.c_str(), made) == 0;
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

void BusRemoveOwnSocket(const std::string &dir, HWND window, const struct stat &made)
{
    std::string path = BusWindowPath(dir, window);
    struct stat now;
    if (lstat(path.c_str(), &now) == 0 && SameFile(now, made))
        unlink(path.c_str());
}

namespace {

// An entry's type, looked up when the directory does not tell it.
bool IsSocketEntry(int dirFd, const dirent *e, bool *isDir)
{
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
        struct stat st;
        if (fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        type = S_ISSOCK(st.st_mode) ? DT_SOCK : S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    *isDir = type == DT_DIR;
    return type == DT_SOCK;
}

}  // namespace

void BusScanWindows(const std::string &dir, std::vector<HWND> *out)
{
    out->clear();
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0)
            close(fd);
        return;
    }
    while (dirent *e = readdir(d)) {
        HWND w;
        bool isDir = false;
        if (!BusWindowName(e->d_name, &w))
            continue;
        if (IsSocketEntry(fd, e, &isDir))
            out->push_back(w);
        else if (!isDir)
            unlinkat(fd, e->d_name, 0);  // a window name that no window can answer on
    }
    closedir(d);
    std::sort(out->begin(), out->end());
}
