// VEK's window: what it answers to the messages drivers send it, and the
// record of every message received.
//
// Messages served (all others are recorded and answered 0):
//   2031 attach broadcast, wParam the driver's window: VEK sends 2032 with
//        its own window to it before answering
//   2119 the workstation number
//   2193 register, wParam the driver's window, lParam the Id:
//        0 accepted, 1 Id outside 1..999, 2 Id held by another live driver,
//        3 VEK not in driver mode
//   2186 deregister, wParam the driver's window
//   2164 name request: block of DriverId, database, index (16-bit each);
//        the name is written into the block, zero-terminated
//   31233 (VEK's own) wParam an Id: that driver's window, or 0
#include "tools/vek/vek.h"

#include "platform/bus.h"
#include "platform/loop.h"
#include "tools/common/buslog.h"

#include <cstring>
#include <fstream>

VekState Vek;

namespace {

constexpr UINT kAttach = 2031;
constexpr UINT kAttachAnswer = 2032;
constexpr UINT kWorkstation = 2119;
constexpr UINT kNameRequest = 2164;
constexpr UINT kDeregister = 2186;
constexpr UINT kRegister = 2193;

LRESULT Attach(WPARAM wParam)
{
    HWND driver = static_cast<HWND>(wParam);
    if (driver == 0 || driver == HWND_BROADCAST || driver == Vek.Window)
        return 0;
    LRESULT r = SendMessage(driver, kAttachAnswer, Vek.Window, 0);
    LogWrite(MessageLine("TX", kAttachAnswer, Vek.Window, 0, driver) + ResultPart(r));
    return 0;
}

LRESULT Register(WPARAM wParam, LPARAM lParam)
{
    HWND window = static_cast<HWND>(wParam);
    if (!Vek.DriverMode)
        return 3;
    if (lParam < 1 || lParam > 999)
        return 1;
    int32_t id = static_cast<int32_t>(lParam);
    auto it = Vek.Drivers.find(id);
    if (it != Vek.Drivers.end() && it->second != window && BusWindowAlive(it->second))
        return 2;
    Vek.Drivers[id] = window;
    return 0;
}

LRESULT Deregister(WPARAM wParam)
{
    HWND window = static_cast<HWND>(wParam);
    std::erase_if(Vek.Drivers, [&](const auto &d) { return d.second == window; });
    return 0;
}

LRESULT FindDriver(WPARAM wParam)
{
    auto it = Vek.Drivers.find(static_cast<int32_t>(wParam));
    return it == Vek.Drivers.end() ? 0 : static_cast<LRESULT>(it->second);
}

// Writes the name into the block (never past it) and records the request.
LRESULT ServeName(LPARAM lParam, std::string *details)
{
    auto *block = reinterpret_cast<uint8_t *>(lParam);
    uint32_t length = BusDeliveryBlockLength();
    if (length < 6) {
        *details = " len=" + std::to_string(length);
        return 0;
    }
    int id = block[0] | block[1] << 8;
    int db = block[2] | block[3] << 8;
    int index = block[4] | block[5] << 8;
    std::string name = db == 0 || db == 1 ? VekName(id, db, index) : "";
    size_t n = std::min(name.size(), static_cast<size_t>(length - 1));
    std::memcpy(block, name.data(), n);
    block[n] = 0;
    *details = " len=" + std::to_string(length) + " id=" + std::to_string(id) + " db=" +
               std::to_string(db) + " index=" + std::to_string(index) +
               " name=" + QuoteText(name.c_str(), n);
    return db == 0 || db == 1;
}

}  // namespace

LRESULT VekWndProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND from = BusDeliverySender();
    uint32_t length = BusDeliveryBlockLength();
    // An address is no number to record: what came on the wire was 0.
    bool address = length || BusLParamIsAddress(message);
    std::string line = MessageLine("RX", message, wParam, address ? 0 : lParam, from);
    std::string details = length ? BlockPart(reinterpret_cast<const void *>(lParam), length) : "";
    LRESULT result = 0;
    switch (message) {
    case kAttach:
        result = Attach(wParam);
        break;
    case kWorkstation:
        result = Vek.WorkStation;
        break;
    case kRegister:
        result = Register(wParam, lParam);
        break;
    case kDeregister:
        result = Deregister(wParam);
        break;
    case kNameRequest:
        result = ServeName(lParam, &details);
        break;
    case kVekFindDriver:
        result = FindDriver(wParam);
        break;
    }
    LogWrite(line + details + ResultPart(result));
    return result;
}

bool VekLoadNames(const char *argument, int db, std::string *error)
{
    std::string arg = argument;
    int32_t id = 0;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
        long long value = 0;
        if (!ParseNumber(arg.substr(0, eq).c_str(), &value) || value < 1 || value > 999) {
            *error = "bad driver Id in \"" + arg + "\"";
            return false;
        }
        id = static_cast<int32_t>(value);
        arg = arg.substr(eq + 1);
    }
    std::ifstream in(arg);
    if (!in) {
        *error = "cannot read the name file " + arg;
        return false;
    }
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        names.push_back(line);
    }
    Vek.Names[db][id] = names;
    return true;
}

std::string VekName(int32_t id, int db, int index)
{
    for (int32_t key : {id, 0}) {
        auto it = Vek.Names[db].find(key);
        if (it != Vek.Names[db].end() && index >= 1 && static_cast<size_t>(index) <= it->second.size())
            return it->second[static_cast<size_t>(index) - 1];
    }
    char generated[16];
    std::snprintf(generated, sizeof generated, "%s %03d", db == 0 ? "SRC" : "DST", index);
    return generated;
}
