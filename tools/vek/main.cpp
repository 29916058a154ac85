// vek: entry point, options, and the inputs the loop watches (standard
// input, the control FIFO, SIGTERM/SIGINT).
#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "tools/common/buslog.h"
#include "tools/vek/vek.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kHelp[] =
    "usage: vek [options]\n"
    "The stand-in for the control system's interface program VEK on the local\n"
    "message bus. It answers the driver's attach (2031 -> 2032), workstation\n"
    "(2119), registration (2193), deregistration (2186) and name (2164)\n"
    "messages, records every message it receives, and sends drivers the\n"
    "control lines it reads.\n"
    "\n"
    "options:\n"
    "  --root DIR              root directory (else $ZOLT_ROOT, else /var/lib/zolt);\n"
    "                          the bus is $ZOLT_BUS, else DIR/bus\n"
    "  --bus DIR               bus directory\n"
    "  --workstation N         answer to 2119 (default 1)\n"
    "  --not-driver-mode       answer every registration with 3\n"
    "  --source-names [ID=]FILE  source names, one a line (line i = index i),\n"
    "                          for driver ID or for every driver\n"
    "  --dest-names [ID=]FILE  destination names, the same way\n"
    "                          (names not given are \"SRC 001\", \"DST 001\", ...)\n"
    "  --log FILE              append every record line to FILE\n"
    "  --quiet                 no record lines on standard output\n"
    "  --control PATH          also read control lines from the FIFO PATH\n"
    "                          (made with mode 0600 when missing; an existing one\n"
    "                          must be a FIFO of ours, mode 0600, not a link)\n"
    "  --no-stdin              do not read control lines from standard input\n"
    "  --help                  this text\n"
    "\n"
    "control lines (standard input and the FIFO):\n"
    "  cmd TARGET TEXT...                  send 2074 with TEXT as its block\n"
    "  msg TARGET CODE [WPARAM [LPARAM]]   send any message, number form\n"
    "  text TARGET CODE WPARAM TEXT...     send any message, text form\n"
    "  post TARGET CODE [WPARAM [LPARAM]]  post any message, number form\n"
    "  list                                the registered drivers\n"
    "  ws N                                answer 2119 with N\n"
    "  drivermode on|off                   accept or refuse (3) registrations\n"
    "  names source|dest [ID=]FILE         serve the names of FILE from now on\n"
    "  quit                                end\n"
    "TARGET is a registered driver Id or a window 0xHHHHHHHH.\n"
    "\n"
    "output lines:\n"
    "  READY window=0x1234abcd workstation=1 bus=DIR\n"
    "  RX code=2187 wparam=3 lparam=0 from=0x0badf00d len=15 text=\"RR 007 005 003\" result=0\n"
    "  RX code=2164 wparam=0 lparam=0 from=0x0badf00d len=256 id=7 db=0 index=1 name=\"SRC 001\" result=1\n"
    "  TX code=2074 wparam=0 lparam=0 to=0x0badf00d len=19 text=\"RC 7 5 12 ',---' 0\" result=0\n"
    "  DRIVERS count=1 / DRIVER id=7 window=0x0badf00d alive=1 / OK ... / ERR ...\n";

struct Input {
    std::string pending;  // an incomplete line
};

Input StdinInput;
Input FifoInput;
constexpr size_t kMaxLine = 70000;

void TakeLines(Input *in, const char *bytes, size_t n)
{
    in->pending.append(bytes, n);
    size_t at;
    while ((at = in->pending.find('\n')) != std::string::npos) {
        std::string line = in->pending.substr(0, at);
        in->pending.erase(0, at + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        VekCommand(line);
    }
    if (in->pending.size() > kMaxLine) {
        LogWrite("ERR control line too long");
        in->pending.clear();
    }
}

void OnInput(int fd, void *arg)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        TakeLines(static_cast<Input *>(arg), buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        LoopRemoveFd(fd);  // standard input ended; vek goes on serving
    }
}

// The FIFO stays open for writing by ourselves too, so that a writer going
// away is no end of input.  Whoever can write into the FIFO commands VEK, so
// only our own FIFO will do: not a symbolic link (O_NOFOLLOW), a FIFO, owned
// by us, with no access for group or others; checked on the descriptor, and
// the writing end is opened through that same descriptor.
bool WatchFifo(const char *path, bool *made, std::string *why)
{
    *made = mkfifo(path, 0600) == 0;
    if (!*made && errno != EEXIST) {
        *why = std::strerror(errno);
        return false;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0) {
        *why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
    } else if (!S_ISFIFO(st.st_mode)) {
        *why = "it is not a FIFO";
    } else if (st.st_uid != geteuid()) {
        *why = "it belongs to another user";
    } else if ((st.st_mode & 077) != 0) {
        *why = "group or others have access to it (it must be mode 0600)";
    } else {
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (open(self.c_str(), O_WRONLY | O_CLOEXEC) >= 0)
            return LoopAddFd(fd, OnInput, &FifoInput);
        *why = std::strerror(errno);
    }
    if (fd >= 0)
        close(fd);
    return false;
}

struct Options {
    const char *control = nullptr;
    bool controlMade = false;  // ours to remove at the end
    bool readStdin = true;
};

bool Value(int argc, char **argv, int *i, const char **out)
{
    if (*i + 1 >= argc) {
        std::fprintf(stderr, "vek: %s needs a value\n", argv[*i]);
        return false;
    }
    *out = argv[++*i];
    return true;
}

// Returns -1 to go on, else the exit status.
int ParseOptions(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *v = nullptr;
        long long n = 0;
        std::string error;
        if (a == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--root" && Value(argc, argv, &i, &v)) {
            SetRootDirectory(v);
        } else if (a == "--bus" && Value(argc, argv, &i, &v)) {
            setenv("ZOLT_BUS", v, 1);
        } else if (a == "--workstation" && Value(argc, argv, &i, &v) && ParseNumber(v, &n)) {
            Vek.WorkStation = static_cast<int32_t>(n);
        } else if (a == "--not-driver-mode") {
            Vek.DriverMode = false;
        } else if ((a == "--source-names" || a == "--dest-names") && Value(argc, argv, &i, &v)) {
            if (!VekLoadNames(v, a == "--dest-names", &error)) {
                std::fprintf(stderr, "vek: %s\n", error.c_str());
                return 2;
            }
        } else if (a == "--log" && Value(argc, argv, &i, &v)) {
            if (!LogOpenFile(v)) {
                std::fprintf(stderr, "vek: cannot open the log file %s\n", v);
                return 2;
            }
        } else if (a == "--quiet") {
            Log().toStdout = false;
        } else if (a == "--control" && Value(argc, argv, &i, &v)) {
            o->control = v;
        } else if (a == "--no-stdin") {
            o->readStdin = false;
        } else {
            std::fprintf(stderr, "vek: bad option %s (try --help)\n", argv[i]);
            return 2;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    SetRootDirectory(nullptr);
    Options options;
    int status = ParseOptions(argc, argv, &options);
    if (status >= 0)
        return status;
    std::string error;
    if (!BusOpen(&error)) {
        std::fprintf(stderr, "vek: %s\n", error.c_str());
        return 1;
    }
    Vek.Window = CreateWindowProc(VekWndProc, true);
    if (!Vek.Window || !ToolWatchSignals()) {
        std::fprintf(stderr, "vek: cannot set up its window\n");
        BusClose();
        return 1;
    }
    std::string why;
    if (options.control && !WatchFifo(options.control, &options.controlMade, &why)) {
        std::fprintf(stderr, "vek: cannot use the control FIFO %s: %s\n", options.control,
                     why.c_str());
        BusClose();
        return 1;
    }
    if (options.readStdin)
        LoopAddFd(0, OnInput, &StdinInput);  // not a pipe or terminal: nothing to read
    LogWrite("READY window=" + Handle(Vek.Window) + " workstation=" +
             std::to_string(Vek.WorkStation) + " bus=" + BusDirectory());
    LoopRun();
    DestroyWindowProc(Vek.Window);
    BusClose();
    if (options.controlMade)
        unlink(options.control);
    return 0;
}
