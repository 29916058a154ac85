// wexmsg: entry point, options and the commands.
#include "tools/wexmsg/wexmsg.h"

#include "link/bridge.h"
#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "tools/common/buslog.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kHelp[] =
    "usage: wexmsg [options] COMMAND ARGUMENTS...\n"
    "A client of the local message bus.\n"
    "\n"
    "commands:\n"
    "  list                              every window socket on the bus, one a line\n"
    "  send TARGET CODE [WPARAM [LPARAM]]  send and print \"result=N\"; with --text the\n"
    "                                    text is the block and the reply's text is\n"
    "                                    printed too: result=N text=\"...\"\n"
    "  post TARGET CODE [WPARAM [LPARAM]]  post (--text: with a block); prints \"posted\"\n"
    "  broadcast CODE [WPARAM [LPARAM]]  send to every window but our own; result=0\n"
    "  names TARGET ID DB INDEX          name request 2164 (256-byte block):\n"
    "                                    result=N name=\"...\"\n"
    "  copydata TARGET DATAWORD [TEXT]   WM_COPYDATA with TEXT and its zero as bytes\n"
    "  bridge TARGET CODE WPARAM [NUMBER]  a message-bridge call: a number call, or with\n"
    "                                    --text a 513-byte text call (reply text copied\n"
    "                                    back up to --capacity bytes, printed as text=)\n"
    "  attach TARGET (--driver ID | --control ID)\n"
    "                                    attach to a driver as an external driver (2734)\n"
    "                                    or a control program (2774), record every message\n"
    "                                    that arrives, and detach (2735/2775) at the end\n"
    "                                    (SIGTERM, SIGINT or --for)\n"
    "TARGET: a window (0x1234abcd), \"vek\" (found by the attach broadcast 2031),\n"
    "or \"driver:ID\" (the window VEK has registered for driver ID).\n"
    "Numbers are decimal or 0x hex, and may be negative.\n"
    "\n"
    "options:\n"
    "  --root DIR          root directory (the bus is $ZOLT_BUS, else DIR/bus)\n"
    "  --bus DIR           bus directory\n"
    "  --text TEXT         the message's block is TEXT and its zero\n"
    "  --size N            make the block N bytes (zero-filled) if longer than the text\n"
    "  --capacity N        bridge text calls: bytes of the reply copied back (default 513)\n"
    "  --driver ID         attach as external driver of device ID\n"
    "  --control ID        attach as control program of device ID\n"
    "  --result CODE=VALUE answer message CODE with VALUE (default 0); repeatable\n"
    "  --reply-text TEXT   answer bridge text requests with TEXT in the reply\n"
    "  --for SECONDS       attach mode: end after SECONDS\n"
    "  --log FILE          append record lines to FILE\n"
    "  --quiet             no record lines on standard output\n"
    "  --verbose           record incoming messages outside attach mode too\n"
    "  --help              this text\n"
    "Record lines: RX code=2742 wparam=7 lparam=327692 from=0x0badf00d result=0\n"
    "  (WM_COPYDATA: ... dataword=0x0ad80000 count=513 text=\"...\"; bridge requests\n"
    "  carry via=bridge), TX lines for what attach sends, READY window=0x... first.\n"
    "Exit status: 0 done, 1 bus or usage error, 2 target not found.\n";

struct Options {
    std::vector<std::string> args;
    bool hasText = false;
    std::string text;
    long long size = 0;
    long long capacity = kBridgeTextSize;
    int32_t attachId = 0;
    UINT attachCode = 0;
    long long forSeconds = 0;
};

bool Number(const std::string &text, long long *value)
{
    if (ParseNumber(text.c_str(), value))
        return true;
    std::fprintf(stderr, "wexmsg: bad number \"%s\"\n", text.c_str());
    return false;
}

bool ResultOption(const std::string &v)
{
    size_t eq = v.find('=');
    long long code = 0, value = 0;
    if (eq == std::string::npos || !Number(v.substr(0, eq), &code) ||
        !Number(v.substr(eq + 1), &value))
        return false;
    Wexmsg.Results[static_cast<UINT>(code)] = static_cast<LRESULT>(value);
    return true;
}

// One option with its value at argv[i + 1]; false on a bad one.
bool ValueOption(const std::string &a, const std::string &v, Options *o)
{
    long long n = 0;
    if (a == "--root") {
        SetRootDirectory(v.c_str());
    } else if (a == "--bus") {
        setenv("ZOLT_BUS", v.c_str(), 1);
    } else if (a == "--text") {
        o->hasText = true;
        o->text = v;
    } else if (a == "--size") {
        return Number(v, &o->size);
    } else if (a == "--capacity") {
        return Number(v, &o->capacity);
    } else if (a == "--driver" || a == "--control") {
        if (!Number(v, &n))
            return false;
        o->attachId = static_cast<int32_t>(n);
        o->attachCode = a == "--driver" ? 2734 : 2774;
    } else if (a == "--result") {
        return ResultOption(v);
    } else if (a == "--reply-text") {
        Wexmsg.HasReplyText = true;
        Wexmsg.ReplyText = v;
    } else if (a == "--for") {
        return Number(v, &o->forSeconds);
    } else if (a == "--log") {
        return LogOpenFile(v.c_str());
    } else {
        return false;
    }
    return true;
}

// Returns -1 to go on, else the exit status.
int ParseOptions(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--quiet") {
            Log().toStdout = false;
        } else if (a == "--verbose") {
            Wexmsg.LogIncoming = true;
        } else if (a.rfind("--", 0) == 0 && a.size() > 2) {
            if (i + 1 >= argc || !ValueOption(a, argv[i + 1], o)) {
                std::fprintf(stderr, "wexmsg: bad option %s (try --help)\n", a.c_str());
                return 1;
            }
            ++i;
        } else {
            o->args.push_back(a);
        }
    }
    return -1;
}

bool FindVek()
{
    if (!Wexmsg.VekWindow)
        SendMessage(HWND_BROADCAST, 2031, Wexmsg.Window, 0);
    return Wexmsg.VekWindow != 0;
}

bool ResolveTarget(const std::string &text, HWND *target)
{
    long long n = 0;
    if (text == "vek" || text.rfind("driver:", 0) == 0) {
        if (!FindVek()) {
            std::fprintf(stderr, "wexmsg: VEK does not answer\n");
            return false;
        }
        *target = Wexmsg.VekWindow;
        if (text == "vek")
            return true;
        if (!Number(text.substr(7), &n))
            return false;
        *target = static_cast<HWND>(
            BusSend(Wexmsg.Window, Wexmsg.VekWindow, kVekFindDriver, static_cast<WPARAM>(n), 0));
    } else if (Number(text, &n)) {
        *target = static_cast<HWND>(n);
    } else {
        return false;
    }
    if (*target && BusWindowAlive(*target))
        return true;
    std::fprintf(stderr, "wexmsg: no window %s\n", text.c_str());
    return false;
}

// CODE [WPARAM [LPARAM]] from args[first] on.
bool MessageNumbers(const Options &o, size_t first, long long n[3])
{
    n[0] = n[1] = n[2] = 0;
    if (o.args.size() < first + 1 || o.args.size() > first + 3) {
        std::fprintf(stderr, "wexmsg: %s needs CODE [WPARAM [LPARAM]]\n", o.args[0].c_str());
        return false;
    }
    for (size_t i = first; i < o.args.size(); ++i)
        if (!Number(o.args[i], &n[i - first]))
            return false;
    return true;
}

std::vector<char> TextBlock(const Options &o)
{
    std::vector<char> block(o.text.begin(), o.text.end());
    block.push_back('\0');
    if (o.size > 0 && static_cast<size_t>(o.size) > block.size())
        block.resize(std::min<size_t>(static_cast<size_t>(o.size), kBusMaxBlock), '\0');
    return block;
}

int Send(const Options &o, bool post)
{
    HWND target = 0;
    long long n[3];
    if (o.args.size() < 2 || !MessageNumbers(o, 2, n))
        return 1;
    if (!ResolveTarget(o.args[1], &target))
        return 2;
    UINT code = static_cast<UINT>(n[0]);
    auto wParam = static_cast<WPARAM>(static_cast<uint32_t>(n[1]));
    auto lParam = static_cast<LPARAM>(static_cast<int32_t>(n[2]));
    std::vector<char> block = o.hasText ? TextBlock(o) : std::vector<char>();
    auto length = static_cast<uint32_t>(block.size());
    if (post) {
        bool ok = BusPost(Wexmsg.Window, target, code, wParam, lParam, block.data(), length);
        std::puts(ok ? "posted" : "failed");
        return ok ? 0 : 1;
    }
    LRESULT r = o.hasText ? BusSendBlock(Wexmsg.Window, target, code, wParam, block.data(), length)
                          : BusSend(Wexmsg.Window, target, code, wParam, lParam);
    std::string out = "result=" + std::to_string(static_cast<int32_t>(r));
    if (o.hasText)
        out += " text=" + QuoteText(block.data(), block.size());
    std::puts(out.c_str());
    return 0;
}

int Broadcast(const Options &o)
{
    long long n[3];
    if (!MessageNumbers(o, 1, n))
        return 1;
    std::vector<char> block = o.hasText ? TextBlock(o) : std::vector<char>();
    if (o.hasText)
        BusSendBlock(Wexmsg.Window, HWND_BROADCAST, static_cast<UINT>(n[0]),
                     static_cast<WPARAM>(static_cast<uint32_t>(n[1])), block.data(),
                     static_cast<uint32_t>(block.size()));
    else
        SendMessage(HWND_BROADCAST, static_cast<UINT>(n[0]),
                    static_cast<WPARAM>(static_cast<uint32_t>(n[1])),
                    static_cast<LPARAM>(static_cast<int32_t>(n[2])));
    std::puts("result=0");
    return 0;
}

int Names(const Options &o)
{
    HWND target = 0;
    long long id = 0, db = 0, index = 0;
    if (o.args.size() != 5 || !Number(o.args[2], &id) || !Number(o.args[3], &db) ||
        !Number(o.args[4], &index)) {
        std::fprintf(stderr, "wexmsg: names needs TARGET ID DB INDEX\n");
        return 1;
    }
    if (!ResolveTarget(o.args[1], &target))
        return 2;
    uint8_t buffer[256] = {};
    long long fields[3] = {id, db, index};
    for (int i = 0; i < 3; ++i) {
        buffer[2 * i] = static_cast<uint8_t>(fields[i]);
        buffer[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
    }
    LRESULT r = BusSendBlock(Wexmsg.Window, target, 2164, 0, buffer, sizeof buffer);
    std::printf("result=%d name=%s\n", static_cast<int32_t>(r),
                QuoteText(buffer, sizeof buffer).c_str());
    return 0;
}

int CopyData(const Options &o)
{
    HWND target = 0;
    long long dataWord = 0;
    if (o.args.size() < 3 || o.args.size() > 4 || !Number(o.args[2], &dataWord)) {
        std::fprintf(stderr, "wexmsg: copydata needs TARGET DATAWORD [TEXT]\n");
        return 1;
    }
    if (!ResolveTarget(o.args[1], &target))
        return 2;
    std::string text = o.args.size() == 4 ? o.args[3] : "";
    COPYDATASTRUCT record{static_cast<uint32_t>(dataWord), static_cast<uint32_t>(text.size() + 1),
                          text.data()};
    LRESULT r = SendMessage(target, WM_COPYDATA, Wexmsg.Window, reinterpret_cast<LPARAM>(&record));
    std::printf("result=%d\n", static_cast<int32_t>(r));
    return 0;
}

int Bridge(const Options &o)
{
    HWND target = 0;
    long long code = 0, wParam = 0, number = 0;
    if (o.args.size() < 4 || o.args.size() > 5 || !Number(o.args[2], &code) ||
        !Number(o.args[3], &wParam) || (o.args.size() == 5 && !Number(o.args[4], &number))) {
        std::fprintf(stderr, "wexmsg: bridge needs TARGET CODE WPARAM [NUMBER]\n");
        return 1;
    }
    if (!ResolveTarget(o.args[1], &target))
        return 2;
    std::vector<char> text(kBridgeTextSize + 1, '\0');
    std::memcpy(text.data(), o.text.data(), std::min<size_t>(o.text.size(), kBridgeTextSize));
    uintptr_t data = o.hasText ? reinterpret_cast<uintptr_t>(text.data())
                               : static_cast<uintptr_t>(static_cast<uint32_t>(number));
    int32_t r = BridgeSend(Wexmsg.Window, target, static_cast<UINT>(code),
                           static_cast<WPARAM>(wParam), data, static_cast<int>(o.capacity),
                           o.hasText ? 1 : 0);
    std::string out = "result=" + std::to_string(r);
    if (o.hasText)
        out += " text=" + QuoteText(text.data(), kBridgeTextSize);
    std::puts(out.c_str());
    return 0;
}

int Attach(const Options &o)
{
    HWND target = 0;
    if (o.args.size() != 2 || !o.attachCode) {
        std::fprintf(stderr, "wexmsg: attach needs TARGET and --driver ID or --control ID\n");
        return 1;
    }
    if (!ResolveTarget(o.args[1], &target))
        return 2;
    Wexmsg.LogIncoming = true;
    if (!ToolWatchSignals())
        return 1;
    if (o.forSeconds > 0)
        SetTimer(Wexmsg.Window, kQuitTimer, static_cast<uint32_t>(o.forSeconds * 1000));
    LogWrite("READY window=" + Handle(Wexmsg.Window));
    LRESULT r = BusSend(Wexmsg.Window, target, o.attachCode, Wexmsg.Window, o.attachId);
    LogWrite(MessageLine("TX", o.attachCode, Wexmsg.Window, o.attachId, target) + ResultPart(r));
    LoopRun();
    UINT detach = o.attachCode + 1;  // 2735, 2775
    r = BusSend(Wexmsg.Window, target, detach, Wexmsg.Window, o.attachId);
    LogWrite(MessageLine("TX", detach, Wexmsg.Window, o.attachId, target) + ResultPart(r));
    return 0;
}

int List()
{
    std::vector<HWND> windows(65536);
    int n = BusListWindows(windows.data(), static_cast<int>(windows.size()));
    for (int i = 0; i < n; ++i)
        if (windows[i] != Wexmsg.Window)
            std::puts(Handle(windows[i]).c_str());
    return 0;
}

int Run(const Options &o)
{
    const std::string &command = o.args[0];
    if (command == "list")
        return List();
    if (command == "send" || command == "post")
        return Send(o, command == "post");
    if (command == "broadcast")
        return Broadcast(o);
    if (command == "names")
        return Names(o);
    if (command == "copydata")
        return CopyData(o);
    if (command == "bridge")
        return Bridge(o);
    if (command == "attach")
        return Attach(o);
    std::fprintf(stderr, "wexmsg: unknown command %s (try --help)\n", command.c_str());
    return 1;
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
    if (options.args.empty()) {
        std::fputs(kHelp, stderr);
        return 1;
    }
    std::string error;
    if (!BusOpen(&error)) {
        std::fprintf(stderr, "wexmsg: %s\n", error.c_str());
        return 1;
    }
    Wexmsg.Window = CreateWindowProc(WexmsgProc, true);
    status = Wexmsg.Window ? Run(options) : 1;
    DestroyWindowProc(Wexmsg.Window);
    BusClose();
    return status;
}
