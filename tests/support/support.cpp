#include "tests/support/support.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

TempRoot::TempRoot()
{
    char tmpl[] = "/tmp/wextest.XXXXXX";
    char *d = mkdtemp(tmpl);
    dir = d ? d : "/tmp";
}

TempRoot::~TempRoot()
{
    std::error_code ec;
    if (dir.rfind("/tmp/wextest.", 0) == 0)
        std::filesystem::remove_all(dir, ec);
}

void WriteTextFile(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string ReadTextFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<unsigned char> ReadBinaryFile(const std::string &path)
{
    std::string s = ReadTextFile(path);
    return std::vector<unsigned char>(s.begin(), s.end());
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool WaitFor(const std::function<bool()> &cond, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {

// The program's path as execvp would find it, looked up before the fork.
std::string FindProgram(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (access(full.c_str(), X_OK) == 0)
            return full;
    }
    return name;
}

// Our environment with `overrides` (NAME=value) put in place.
std::vector<std::string> ChildEnvironment(const std::vector<std::string> &overrides)
{
    std::vector<std::string> out;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (auto &o : overrides)
            replaced = replaced || o.compare(0, key.size(), key) == 0;
        if (!replaced)
            out.push_back(entry);
    }
    out.insert(out.end(), overrides.begin(), overrides.end());
    return out;
}

std::vector<char *> Pointers(const std::vector<std::string> &texts)
{
    std::vector<char *> out;
    for (auto &t : texts)
        out.push_back(const_cast<char *>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

// Everything the child needs is made before the fork: a test's own threads
// may hold the allocator's lock at that moment, and a child that allocates
// would then hang before it ever runs the program.
bool StartChild(Child *c, const std::vector<std::string> &argv,
                const std::vector<std::string> &env, const std::string &logDir,
                const std::string &name)
{
    c->outPath = logDir + "/" + name + ".out";
    c->errPath = logDir + "/" + name + ".err";
    std::string program = FindProgram(argv.at(0));
    std::vector<std::string> environment = ChildEnvironment(env);
    std::vector<char *> args = Pointers(argv), envp = Pointers(environment);
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    int out = open(c->outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(c->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = out >= 0 && err >= 0 ? fork() : -1;
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    for (int fd : {out, err})
        if (fd >= 0)
            close(fd);
    if (pid < 0) {
        close(in[1]);
        return false;
    }
    c->pid = pid;
    c->stdinFd = in[1];
    return true;
}

void ChildWrite(Child *c, const std::string &text)
{
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = write(c->stdinFd, text.data() + off, text.size() - off);
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

std::string ChildOutput(const Child &c) { return ReadTextFile(c.outPath); }
std::string ChildErrors(const Child &c) { return ReadTextFile(c.errPath); }

static bool Reap(Child *c, int flags)
{
    if (c->pid <= 0)
        return true;
    int status = 0;
    pid_t r = waitpid(c->pid, &status, flags);
    if (r != c->pid)
        return false;
    c->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    c->pid = -1;
    if (c->stdinFd >= 0)
        close(c->stdinFd);
    c->stdinFd = -1;
    return true;
}

bool ChildWait(Child *c, int timeoutMs)
{
    return WaitFor([&] { return Reap(c, WNOHANG); }, timeoutMs);
}

int FreeDisplayNumber(int from)
{
    for (int n = from; n < from + 400; ++n) {
        std::string x = std::to_string(n);
        if (!FileExists("/tmp/.X11-unix/X" + x) && !FileExists("/tmp/.X" + x + "-lock"))
            return n;
    }
    return -1;
}

static bool XSocketAccepts(int n)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "/tmp/.X11-unix/X%d", n);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool StartXServer(XServer *x, const std::string &logDir)
{
    // Several test programs may race for a number: a server that loses
    // (ends at once) makes us try the next one.
    int n = 100 + static_cast<int>(getpid() % 500);
    for (int attempt = 0; attempt < 8; ++attempt) {
        n = FreeDisplayNumber(n);
        if (n < 0)
            return false;
        std::string d = ":" + std::to_string(n);
        // -noreset: the server keeps running when its last client leaves.
        if (!StartChild(&x->server, {"/usr/bin/Xvfb", d, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                                     "-noreset"},
                        {}, logDir, "xvfb" + std::to_string(n)))
            return false;
        if (WaitFor([&] { return XSocketAccepts(n) || !ChildRunning(&x->server); }, 15000) &&
            ChildRunning(&x->server)) {
            x->display = d;
            return true;
        }
        ChildStop(&x->server, 1000);
        ++n;
    }
    return false;
}

void StopXServer(XServer *x)
{
    ChildStop(&x->server, 3000);
    x->display.clear();
}

bool ChildRunning(Child *c) { return c->pid > 0 && !Reap(c, WNOHANG); }

void ChildStop(Child *c, int timeoutMs)
{
    if (c->pid <= 0)
        return;
    kill(c->pid, SIGTERM);
    if (!ChildWait(c, timeoutMs)) {
        kill(c->pid, SIGKILL);
        Reap(c, 0);
    }
}

size_t CountOccurrences(const std::string &haystack, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++n;
    return n;
}

bool WaitForOutput(const Child &c, const std::string &text, int timeoutMs)
{
    return WaitFor([&] { return ChildOutput(c).find(text) != std::string::npos; }, timeoutMs);
}

bool WaitForErrors(const Child &c, const std::string &text, int timeoutMs)
{
    return WaitFor([&] { return ChildErrors(c).find(text) != std::string::npos; }, timeoutMs);
}

bool OpenPty(Pty *p)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
        return false;
    termios t;
    if (tcgetattr(m, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(m, TCSANOW, &t);
    }
    char name[128];
    if (ptsname_r(m, name, sizeof name) != 0)
        return false;
    p->master = m;
    p->slavePath = name;
    return true;
}

void ClosePty(Pty *p)
{
    if (p->master >= 0)
        close(p->master);
    p->master = -1;
}

size_t ReadAvailable(int fd, std::string *out, int timeoutMs)
{
    size_t total = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left < 0)
            left = 0;
        pollfd pfd{fd, POLLIN, 0};
        int r = poll(&pfd, 1, total ? 20 : static_cast<int>(left));
        if (r <= 0)
            return total;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return total;
        out->append(buf, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
}

void DropFileRights()
{
    if (geteuid() != 0)
        return;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        unsigned mask = ~(1u << (cap % 32));
        data[cap / 32].effective &= mask;
        data[cap / 32].permitted &= mask;
        data[cap / 32].inheritable &= mask;
    }
    syscall(SYS_capset, &header, data);
}

int RunWithoutFileRights(const std::function<int()> &body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        DropFileRights();
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> WithoutFileRights(std::vector<std::string> argv)
{
    if (geteuid() != 0)
        return argv;
    std::vector<std::string> prefix = {"setpriv", "--bounding-set", "-dac_override,-dac_read_search",
                                       "--inh-caps", "-dac_override,-dac_read_search"};
    argv.insert(argv.begin(), prefix.begin(), prefix.end());
    return argv;
}

unsigned FileMode(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}
