// Where the simulated router is plugged in: a fresh pseudo-terminal whose
// slave side the driver opens like a serial port, or a real device.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "core.h"

namespace {

bool MakeRaw(int fd, int speed, std::string *error)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        *error = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (speed > 0) {
        speed_t code = B0;
        switch (speed) {
        case 1200: code = B1200; break;
        case 2400: code = B2400; break;
        case 4800: code = B4800; break;
        case 9600: code = B9600; break;
        case 19200: code = B19200; break;
        case 38400: code = B38400; break;
        case 57600: code = B57600; break;
        case 115200: code = B115200; break;
        default:
            *error = "unsupported speed " + std::to_string(speed);
            return false;
        }
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int Fail(int fd, std::string *error, const char *what)
{
    *error = std::string(what) + ": " + std::strerror(errno);
    if (fd >= 0)
        close(fd);
    return -1;
}

}  // namespace

int SimOpenPty(std::string *slavePath, std::string *error)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return Fail(-1, error, "posix_openpt");
    if (grantpt(master) != 0)
        return Fail(master, error, "grantpt");
    if (unlockpt(master) != 0)
        return Fail(master, error, "unlockpt");
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0)
        return Fail(master, error, "ptsname");
    // The line discipline lives on the slave side: make it raw now, so that
    // nothing the router sends is echoed or translated before the driver
    // opens it.  The setting stays with the terminal while the master is open.
    int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0)
        return Fail(master, error, "open slave");
    bool ok = MakeRaw(slave, 0, error) && MakeRaw(master, 0, error);
    close(slave);
    if (!ok) {
        close(master);
        return -1;
    }
    int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0)
        return Fail(master, error, "fcntl");
    *slavePath = name;
    return master;
}

int SimOpenDevice(const char *path, int speed, std::string *error)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail(-1, error, path);
    // The same exclusive hold the driver takes, before the line is touched:
    // the flock keeps out a running driver's line even for root, TIOCEXCL
    // keeps out programs that do not lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            *error = std::string(path) + " is in use by another program (locked)";
            close(fd);
            return -1;
        }
        return Fail(fd, error, path);
    }
    if (isatty(fd) && ioctl(fd, TIOCEXCL) != 0)
        return Fail(fd, error, path);
    if (isatty(fd) && !MakeRaw(fd, speed, error)) {
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

std::string LinkTarget(const char *linkPath)
{
    char buffer[PATH_MAX];
    ssize_t n = readlink(linkPath, buffer, sizeof buffer - 1);
    if (n < 0)
        return "";
    buffer[n] = 0;
    return buffer;
}

// A new link beside the old name, renamed over it in one step.
bool PlaceLink(const char *linkPath, const std::string &target, std::string *error)
{
    std::string temporary = std::string(linkPath) + ".routersim-" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), linkPath) != 0) {
        *error = std::string(linkPath) + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool SimMakeLink(const char *linkPath, const std::string &target, bool force,
                 std::string *previous, std::string *error)
{
    struct stat st{}, to{};
    previous->clear();
    if (lstat(linkPath, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            *error = std::string(linkPath) + " exists and is not a symbolic link";
            return false;
        }
        // A link to something that exists may be a production line's name
        // (a driver may be using it): only --force replaces it, and it is
        // put back at the end.  A dangling one is a dead simulator's.
        bool live = stat(linkPath, &to) == 0;
        if (live && !force) {
            *error = std::string(linkPath) + " already links to " + LinkTarget(linkPath) +
                     " (--force replaces it until routersim ends)";
            return false;
        }
        if (live)
            *previous = LinkTarget(linkPath);
    }
    return PlaceLink(linkPath, target, error);
}

void SimRemoveLink(const char *linkPath, const std::string &target, const std::string &previous)
{
    if (LinkTarget(linkPath) != target)  // a newer simulator may have taken the name over
        return;
    std::string error;
    if (previous.empty() || !PlaceLink(linkPath, previous, &error))
        unlink(linkPath);
}

int SimProtocolCode(const char *value)
{
    static const struct {
        const char *keyword;
        int code;
    } keywords[] = {
        {"NTP", 1},       {"HBXRCP", 1},   {"PROBEL", 2},    {"SIMPLE", 3},
        {"COX", 4},       {"VISTEK", 5},   {"NTPEQ", 6},     {"VARDARTR", 7},
        {"VARDAGPI", 8},  {"BTSASCII", 9}, {"QUARTZ", 10},   {"BTSESSWITCH", 11},
        {"NETWORK", 12},  {"LEITCH", 13},  {"ADRIENNE", 14}, {"PESA", 15},
        {"SONY", 16},
    };
    std::string upper = value ? value : "";
    if (upper.size() < 3)
        return 0;
    for (auto &c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    int code = 0;
    for (const auto &k : keywords)
        if (upper.find(k.keyword) != std::string::npos)
            code = k.code;
    return code;
}
