// wexctl's side of the extension messages: finding the driver, reading its
// records, asking VEK for names, sending the command texts.  wexctl has no
// window of its own (sender 0), so no broadcast ever waits for it.
#include "tools/wexctl/wexctl.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/bus.h"
#include "shell/extension.h"

namespace {

constexpr uint32_t kRecordBlock = 4096;
constexpr UINT kNameRequest = 2164;
constexpr uint32_t kNameBlock = 256;

Record ParseRecord(const std::string &line)
{
    Record r;
    std::stringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) {
        size_t eq = field.find('=');
        if (eq != std::string::npos)
            r[field.substr(0, eq)] = field.substr(eq + 1);
    }
    return r;
}

// One read message into a block of `size` bytes; the text up to its zero.
LRESULT Read(HWND target, UINT code, WPARAM wParam, std::vector<char> *block)
{
    std::fill(block->begin(), block->end(), 0);
    LRESULT r = BusSendBlock(0, target, code, wParam, block->data(),
                             static_cast<uint32_t>(block->size()));
    block->back() = 0;
    return r;
}

HWND WindowOf(const std::string &text)
{
    char *end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 16);
    return end && *end == 0 && v <= 0xFFFFFFFFul ? static_cast<HWND>(v) : 0;
}

}  // namespace

int32_t NumberOf(const Record &r, const char *key)
{
    auto it = r.find(key);
    return it == r.end() ? 0 : static_cast<int32_t>(std::strtol(it->second.c_str(), nullptr, 10));
}

bool ReadInfo(Driver *d)
{
    std::vector<char> block(kRecordBlock);
    if (Read(d->window, kWexInfo, 0, &block) != d->id || std::strncmp(block.data(), "id=", 3) != 0)
        return false;
    std::string line(block.data());
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    d->info = ParseRecord(line);
    d->vek = WindowOf(d->info["vek"]);
    return NumberOf(d->info, "id") == d->id;
}

bool FindDriver(int32_t id, Driver *d)
{
    HWND windows[4096];
    int n = BusListWindows(windows, 4096);
    for (int i = 0; i < n; ++i) {
        d->id = id;
        d->window = windows[i];
        if (ReadInfo(d))
            return true;
    }
    return false;
}

bool ReadPorts(const Driver &d, std::vector<Record> *ports)
{
    std::vector<char> block(kRecordBlock);
    if (Read(d.window, kWexPorts, 0, &block) <= 0)
        return false;
    ports->clear();
    std::stringstream lines(block.data());
    std::string line;
    while (std::getline(lines, line))
        ports->push_back(ParseRecord(line));
    return !ports->empty();
}

bool ReadTallies(const Driver &d, int32_t first, int32_t last, std::vector<Tally> *out)
{
    out->clear();
    std::vector<char> block(kBusMaxBlock);
    while (first <= last) {
        LRESULT count = Read(d.window, kWexTallies, static_cast<WPARAM>(first), &block);
        if (count <= 0)
            return !out->empty();
        std::stringstream lines(block.data());
        Tally t;
        int lock = 0;
        while (lines >> t.dest >> t.source >> lock && t.dest <= last) {
            t.locked = lock != 0;
            out->push_back(t);
        }
        first += static_cast<int32_t>(count);
    }
    return true;
}

uint32_t NewestRevertive(const Driver &d)
{
    return static_cast<uint32_t>(BusSend(0, d.window, kWexRevertives, 0, 0));
}

bool ReadRevertives(const Driver &d, uint32_t *seq, std::vector<Revertive> *out, uint32_t *missed)
{
    out->clear();
    *missed = 0;
    std::vector<char> block(kBusMaxBlock);
    for (;;) {
        size_t before = out->size();
        auto newest = static_cast<uint32_t>(Read(d.window, kWexRevertives, *seq, &block));
        std::stringstream lines(block.data());
        Revertive r;
        while (lines >> r.seq >> r.dest >> r.source) {
            if (r.seq > *seq + 1)
                *missed += r.seq - *seq - 1;  // a gap: the journal moved on
            *seq = r.seq;
            out->push_back(r);
        }
        if (out->size() == before) {
            // Nothing more: newer numbers without lines were lost, or the
            // driver restarted (its numbers begin again).
            if (newest != *seq)
                *seq = newest;
            return BusWindowAlive(d.window);
        }
    }
}

std::string Name(const Driver &d, int database, int32_t index)
{
    static std::map<std::pair<int, int32_t>, std::string> known;
    if (d.vek == 0 || index < 1 || index > 0xFFFF)
        return "";
    auto key = std::make_pair(database, index);
    auto it = known.find(key);
    if (it != known.end())
        return it->second;
    uint8_t block[kNameBlock] = {};
    uint16_t fields[3] = {static_cast<uint16_t>(d.id), static_cast<uint16_t>(database),
                          static_cast<uint16_t>(index)};
    for (int i = 0; i < 3; ++i) {
        block[2 * i] = static_cast<uint8_t>(fields[i]);
        block[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
    }
    std::string name;
    if (BusSendBlock(0, d.vek, kNameRequest, 0, block, kNameBlock) != 0) {
        block[kNameBlock - 1] = 0;
        name = reinterpret_cast<const char *>(block);
    }
    return known[key] = name;
}

int32_t SendCommand(const Driver &d, const std::string &text)
{
    std::vector<char> block(text.begin(), text.end());
    block.push_back(0);
    return static_cast<int32_t>(BusSendBlock(0, d.window, kWexCommand, 0, block.data(),
                                             static_cast<uint32_t>(block.size())));
}
