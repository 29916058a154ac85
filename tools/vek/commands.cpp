// VEK's control lines: what an operator or a test tells it to send.
//
//   cmd TARGET TEXT...              control-system command: 2074 with TEXT as block
//   msg TARGET CODE [WPARAM [LPARAM]]   any message, number form
//   text TARGET CODE WPARAM TEXT...     any message, text form
//   post TARGET CODE [WPARAM [LPARAM]]  posted, number form
//   list                            the registered drivers
//   ws N                            answer 2119 with N from now on
//   drivermode on|off               off: registrations are refused with 3
//   names source|dest [ID=]FILE     serve new names from FILE (a rename; the
//                                   driver learns of it by a 2174 notice)
//   quit                            leave the bus and end
// TARGET is a registered driver Id (1..999) or a window as 0x and hex digits.
// Every line sent is recorded as a TX line with the target's result; a line
// that cannot be carried out gives one "ERR ..." line.
#include "platform/bus.h"
#include "platform/loop.h"
#include "tools/common/buslog.h"
#include "tools/vek/vek.h"

#include <vector>

namespace {

constexpr UINT kCommand = 2074;

struct Line {
    std::vector<std::string> words;
    std::vector<size_t> starts;  // where each word starts in text
    std::string text;
};

Line Split(const std::string &text)
{
    Line line;
    line.text = text;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        if (i >= text.size())
            break;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t')
            ++i;
        line.words.push_back(text.substr(start, i - start));
        line.starts.push_back(start);
    }
    return line;
}

// The rest of the line from word n on, exactly as typed.
std::string Rest(const Line &line, size_t n)
{
    return n < line.words.size() ? line.text.substr(line.starts[n]) : "";
}

bool Target(const std::string &word, HWND *window)
{
    long long value = 0;
    if (!ParseNumber(word.c_str(), &value)) {
        LogWrite("ERR bad target \"" + word + "\"");
        return false;
    }
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        *window = static_cast<HWND>(value);
        return true;
    }
    auto it = Vek.Drivers.find(static_cast<int32_t>(value));
    if (it == Vek.Drivers.end()) {
        LogWrite("ERR no driver " + word + " is registered");
        return false;
    }
    *window = it->second;
    return true;
}

// Numbers from word `from` on: the first `required`, then optional ones as 0.
bool Numbers(const Line &line, size_t from, size_t required, size_t count, long long *out)
{
    if (line.words.size() < from + required) {
        LogWrite("ERR too few words in \"" + line.text + "\"");
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        out[i] = 0;
        if (from + i < line.words.size() && !ParseNumber(line.words[from + i].c_str(), &out[i])) {
            LogWrite("ERR bad number \"" + line.words[from + i] + "\"");
            return false;
        }
    }
    return true;
}

void SendText(HWND target, UINT code, WPARAM wParam, const std::string &text)
{
    std::vector<char> block(text.begin(), text.end());
    block.push_back('\0');
    if (block.size() > kBusMaxBlock) {
        LogWrite("ERR text too long");
        return;
    }
    std::string line = MessageLine("TX", code, wParam, 0, target) +
                       BlockPart(block.data(), static_cast<uint32_t>(block.size()));
    LRESULT r = BusSendBlock(Vek.Window, target, code, wParam, block.data(),
                             static_cast<uint32_t>(block.size()));
    LogWrite(line + ResultPart(r));
}

void SendNumbers(const Line &line, bool post)
{
    HWND target = 0;
    long long n[3];
    if (!Numbers(line, 2, 1, 3, n) || !Target(line.words[1], &target))
        return;
    UINT code = static_cast<UINT>(n[0]);
    WPARAM wParam = static_cast<WPARAM>(static_cast<uint32_t>(n[1]));
    LPARAM lParam = static_cast<LPARAM>(static_cast<int32_t>(n[2]));
    std::string sent = MessageLine("TX", code, wParam, lParam, target);
    if (post) {
        bool ok = BusPost(Vek.Window, target, code, wParam, lParam, nullptr, 0);
        LogWrite(sent + (ok ? " posted" : " failed"));
        return;
    }
    LogWrite(sent + ResultPart(BusSend(Vek.Window, target, code, wParam, lParam)));
}

void List()
{
    LogWrite("DRIVERS count=" + std::to_string(Vek.Drivers.size()));
    for (auto &d : Vek.Drivers)
        LogWrite("DRIVER id=" + std::to_string(d.first) + " window=" + Handle(d.second) +
                 " alive=" + std::to_string(BusWindowAlive(d.second) ? 1 : 0));
}

void Setting(const Line &line)
{
    long long n = 0;
    if (line.words[0] == "ws" && line.words.size() == 2 && ParseNumber(line.words[1].c_str(), &n)) {
        Vek.WorkStation = static_cast<int32_t>(n);
        LogWrite("OK workstation=" + std::to_string(Vek.WorkStation));
    } else if (line.words[0] == "drivermode" && line.words.size() == 2 &&
               (line.words[1] == "on" || line.words[1] == "off")) {
        Vek.DriverMode = line.words[1] == "on";
        LogWrite("OK drivermode=" + line.words[1]);
    } else if (line.words[0] == "names" && line.words.size() == 3 &&
               (line.words[1] == "source" || line.words[1] == "dest")) {
        std::string error;
        if (VekLoadNames(line.words[2].c_str(), line.words[1] == "dest", &error))
            LogWrite("OK names=" + line.words[1]);
        else
            LogWrite("ERR " + error);
    } else {
        LogWrite("ERR bad command \"" + line.text + "\"");
    }
}

}  // namespace

void VekCommand(const std::string &text)
{
    Line line = Split(text);
    if (line.words.empty() || line.words[0][0] == '#')
        return;
    const std::string &verb = line.words[0];
    HWND target = 0;
    long long n[2];
    if (verb == "cmd" && line.words.size() >= 3 && Target(line.words[1], &target)) {
        SendText(target, kCommand, 0, Rest(line, 2));
    } else if (verb == "text" && line.words.size() >= 5 && Numbers(line, 2, 2, 2, n) &&
               Target(line.words[1], &target)) {
        SendText(target, static_cast<UINT>(n[0]), static_cast<WPARAM>(static_cast<uint32_t>(n[1])),
                 Rest(line, 4));
    } else if (verb == "msg" || verb == "post") {
        SendNumbers(line, verb == "post");
    } else if (verb == "list") {
        List();
    } else if (verb == "quit") {
        PostQuitMessage(0);
    } else if (verb == "cmd" || verb == "text") {
        if (line.words.size() < (verb == "cmd" ? 3u : 5u))
            LogWrite("ERR too few words in \"" + line.text + "\"");
    } else {
        Setting(line);
    }
}
