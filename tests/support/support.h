// Shared helpers of the tests: temporary roots, files, child processes,
// pseudo-terminals and waiting for a condition with a deadline.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A fresh temporary directory, removed with everything in it at the end.
struct TempRoot {
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;
    std::string File(const std::string &name) const { return dir + "/" + name; }
    std::string dir;
};

void WriteTextFile(const std::string &path, const std::string &text);
std::string ReadTextFile(const std::string &path);
std::vector<unsigned char> ReadBinaryFile(const std::string &path);
bool FileExists(const std::string &path);

// Polls cond every few milliseconds until it holds or timeoutMs passes.
bool WaitFor(const std::function<bool()> &cond, int timeoutMs = 10000);

// A child process with its stdin writable and stdout/stderr captured into
// files (readable while it runs).
struct Child {
    pid_t pid = -1;
    int stdinFd = -1;
    std::string outPath, errPath;
    int exitStatus = -1;  // after Wait: the exit code, or 128+signal
};
// Starts argv[0] with the given environment additions ("KEY=VALUE").
bool StartChild(Child *c, const std::vector<std::string> &argv,
                const std::vector<std::string> &env, const std::string &logDir,
                const std::string &name);
void ChildWrite(Child *c, const std::string &text);
std::string ChildOutput(const Child &c);
std::string ChildErrors(const Child &c);
// Waits up to timeoutMs for the child to end; true if it did.
bool ChildWait(Child *c, int timeoutMs);
// SIGTERM, then SIGKILL after timeoutMs.
void ChildStop(Child *c, int timeoutMs = 5000);
bool ChildRunning(Child *c);

// Waits until the child's stdout holds a line containing text.
bool WaitForOutput(const Child &c, const std::string &text, int timeoutMs = 10000);
bool WaitForErrors(const Child &c, const std::string &text, int timeoutMs = 10000);
size_t CountOccurrences(const std::string &haystack, const std::string &needle);

// An X server of the test's own (Xvfb) on a display number nobody uses.
struct XServer {
    Child server;
    std::string display;  // ":N"
};
// A display number with no server (no socket, no lock file).
int FreeDisplayNumber(int from);
// Starts Xvfb and waits (with a deadline) until its socket accepts.
bool StartXServer(XServer *x, const std::string &logDir);
void StopXServer(XServer *x);

// A pseudo-terminal pair: master fd and the slave's path.
struct Pty {
    int master = -1;
    std::string slavePath;
};
bool OpenPty(Pty *p);
void ClosePty(Pty *p);
// Reads what is available from fd within timeoutMs into out; returns bytes read.
size_t ReadAvailable(int fd, std::string *out, int timeoutMs);

// Tests run as root in CI, where file modes do not bite.  DropFileRights
// takes away the capabilities that let root ignore them (for this process
// and what it starts); RunWithoutFileRights runs body in a forked child so
// dropped and returns its exit code (body's result), or -1.
void DropFileRights();
int RunWithoutFileRights(const std::function<int()> &body);
// The command prefix that starts a program without those capabilities.
std::vector<std::string> WithoutFileRights(std::vector<std::string> argv);
// The permission bits and the bytes of a file, to see it untouched.
unsigned FileMode(const std::string &path);
