// Reading DEV_nnn.INI.  Every key is fetched with an absent text that the
// driver recognises; a missing or unusable value is written back with the
// value then used (or "NONE" for one that stays unset), so that one run
// against an empty file leaves a profile that documents every setting but
// the two database sizes, which only the operator can know.
#include "config/profile.h"

#include "config/paths.h"
#include "platform/debug.h"
#include "platform/dialog.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/root.h"
#include "platform/shellstate.h"
#include "routing/tables.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

DeviceProfile Profile;

namespace {

ProfileHooks Hooks;  // SetProfileHooks

// Values count only by their first characters: the read buffers hold 8
// characters for numbers, 15 for the mode keywords, 14 for a protocol.
constexpr size_t kNumberText = 9;
constexpr size_t kModeText = 16;
constexpr size_t kProtocolText = 15;
constexpr size_t kMaxPathLength = 79;
constexpr int32_t kNetworkCode = 12;
constexpr int32_t kNetworkMinDelay = 10000;

// How a number is judged: replaced when equal to a, or when outside a..b.
enum class Test { Equals, Outside };

struct NumberKey {
    const char *key;
    const char *absent;
    Test test;
    int32_t a, b;
    const char *written;
    int32_t then;
    int32_t DeviceProfile::*field;
};

struct PortNumberKey {
    const char *key;
    const char *written;  // null: the port number itself
    int32_t then;         // -1: the port number itself
    int32_t PortConfig::*field;
};

const NumberKey kTimingKeys[] = {
    {"ParkSource", "-1", Test::Equals, -1, 0, "0", 0, &DeviceProfile::ParkSource},
    {"FirstVirtual", "-1", Test::Equals, -1, 0, "0", 0, &DeviceProfile::FirstVirtual},
    {"SaveDelay", "0", Test::Equals, 0, 0, "10", 10, &DeviceProfile::SaveDelay},
    {"FwdBuffDelay", "-1", Test::Equals, -1, 0, "0", 0, &DeviceProfile::FwdBuffDelay},
    {"RevertiveDelay", "-1", Test::Equals, -1, 0, "0", 0, &DeviceProfile::RevertiveDelay},
};
const NumberKey kPollKeys[] = {
    {"InitTallyDelay", "-1", Test::Equals, -1, 0, "200", 200, &DeviceProfile::InitTallyDelay},
    {"TallyDelay", "-1", Test::Equals, -1, 0, "2000", 2000, &DeviceProfile::TallyDelay},
};
// An absent Simulation or LeitchLevel runs with the value written back, so
// a fresh profile never starts in simulation without saying so.
const NumberKey kBehaviourKeys[] = {
    {"NetUpdateOnStart", "-1", Test::Equals, -1, 0, "1", 1, &DeviceProfile::NetUpdateOnStart},
    {"ReAssert", "-1", Test::Equals, -1, 0, "1", 1, &DeviceProfile::ReAssert},
    {"DebugMode", "-1", Test::Equals, -1, 0, "0", 0, &DeviceProfile::DebugMode},
    {"SourceToDest", "-1", Test::Equals, -1, 0, "1", 1, &DeviceProfile::SourceToDest},
    {"DestToSource", "-1", Test::Equals, -1, 0, "0", 0, &DeviceProfile::DestToSource},
    {"NameLength", "-1", Test::Equals, -1, 0, "8", 8, &DeviceProfile::NameLength},
    {"Simulation", "-1", Test::Equals, -1, 0, "0", 0, &DeviceProfile::Simulation},
    {"HBXRCP_Levels", "-1", Test::Equals, -1, 0, "1", 1, &DeviceProfile::HBXRCP_Levels},
};
const NumberKey kLeitchKeys[] = {
    {"LeitchLevel", "-1", Test::Equals, -1, 0, "0", 0, &DeviceProfile::LeitchLevel},
};
const NumberKey kUnitKeys[] = {
    {"NetworkRouterLvl", "-1", Test::Outside, 0, 15, "0", 0, &DeviceProfile::NetworkRouterLvl},
    {"AdrienneAddress", "-1", Test::Outside, 0, 99, "0", 0, &DeviceProfile::AdrienneAddress},
    {"SonyAddress", "-1", Test::Outside, 1, 128, "1", 1, &DeviceProfile::SonyAddress},
    {"SonyDelay", "-1", Test::Outside, 0, 1000, "25", 25, &DeviceProfile::SonyDelay},
    {"PesaDelay", "-1", Test::Outside, 0, 1000, "100", 100, &DeviceProfile::PesaDelay},
    {"GoRxOnlyOnComFail", "-2", Test::Outside, -1, 99, "-1", -1, &DeviceProfile::GoRxOnlyOnComFail},
    {"CommErrorLimit", "0", Test::Outside, 1, INT32_MAX, "5", 5, &DeviceProfile::CommErrorLimit},
};

// Tested in this order; every keyword found sets the code, so the last one
// found wins ("NTPEQ" holds "NTP" and ends as NTPEQ).
const struct {
    const char *keyword;
    uint8_t code;
} kProtocolKeywords[] = {
    {"NTP", 1},      {"HBXRCP", 1},       {"PROBEL", 2},   {"SIMPLE", 3},
    {"COX", 4},      {"VISTEK", 5},       {"NTPEQ", 6},    {"VARDARTR", 7},
    {"VARDAGPI", 8}, {"BTSASCII", 9},     {"QUARTZ", 10},  {"BTSESSWITCH", 11},
    {"NETWORK", 12}, {"LEITCH", 13},      {"ADRIENNE", 14}, {"PESA", 15},
    {"SONY", 16},
};

struct Reader {
    const char *path;
    const char *section;
};

void Fetch(const Reader &r, const char *key, const char *absent, char *buf, size_t size)
{
    GetPrivateProfileString(r.section, key, absent, buf, size, r.path);
}

void WriteBack(const Reader &r, const char *key, const char *text)
{
    WritePrivateProfileString(r.section, key, text, r.path);
}

void UpperCase(char *text)
{
    for (; *text; ++text)
        *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

int32_t ReadKeyNumber(const Reader &r, const char *key, const char *absent)
{
    char text[kNumberText];
    Fetch(r, key, absent, text, sizeof text);
    return ReadNumber(text);
}

void ReadNumberKeys(const Reader &r, const NumberKey *keys, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const NumberKey &k = keys[i];
        int32_t v = ReadKeyNumber(r, k.key, k.absent);
        bool replace = k.test == Test::Equals ? v == k.a : (v < k.a || v > k.b);
        if (replace) {
            WriteBack(r, k.key, k.written);
            v = k.then;
        }
        Profile.*k.field = v;
    }
}

template <size_t N> void ReadNumberKeys(const Reader &r, const NumberKey (&keys)[N])
{
    ReadNumberKeys(r, keys, N);
}

void ReadName(const Reader &r)
{
    Fetch(r, "Name", "-1", Profile.Name, sizeof Profile.Name);
    if (std::strlen(Profile.Name) < 3)
        WriteBack(r, "Name", "Default");
}

// A size of -1 means the key (or the whole file) is missing: the operator
// must supply it.  Returns 0 after showing the message.
int ReadDatabaseSize(const char *path, const char *key, const char *what, int32_t *size)
{
    Reader db{path, "Database"};
    *size = ReadKeyNumber(db, key, "-1");
    if (*size != -1)
        return 1;
    char text[256];
    std::snprintf(text, sizeof text,
                  "A device profile INI File 'DEV_%03d.INI' does not exist in the Windows "
                  "directory or the '%s' parameter (%s) in it has not been set.",
                  Shell.DriverId, key, what);
    MessageBox(Shell.MainWindow, text, "! Error !");
    return 0;
}

// The tables hold destinations 1..4096; a larger device cannot be served.
int CheckDestinationCount()
{
    if (Profile.DatabaseSize_1 <= kMaxDest)
        return 1;
    char text[256];
    std::snprintf(text, sizeof text,
                  "The 'DatabaseSize_1' parameter (destinations) in the device profile INI File "
                  "'DEV_%03d.INI' is %d; at most %d destinations are supported.",
                  Shell.DriverId, Profile.DatabaseSize_1, kMaxDest);
    MessageBox(Shell.MainWindow, text, "! Error !");
    return 0;
}

int32_t ReadDriverMode(const Reader &r)
{
    char text[kModeText];
    Fetch(r, "DriverMode", "-1", text, sizeof text);
    UpperCase(text);
    if (std::strstr(text, "EXTERNAL"))
        return kDriverExternal;
    if (!std::strstr(text, "INTERNAL"))
        WriteBack(r, "DriverMode", "INTERNAL");
    return kDriverInternal;
}

int32_t ReadRevertiveMode(const Reader &r)
{
    char text[kModeText];
    Fetch(r, "RevertiveMode", "-1", text, sizeof text);
    UpperCase(text);
    int32_t mode = 0;
    if (std::strstr(text, "ROUTER"))
        mode = kRevertiveRouter;
    if (std::strstr(text, "DRIVER"))
        mode = kRevertiveDriver;
    if (mode == 0) {
        WriteBack(r, "RevertiveMode", "ROUTER");
        mode = kRevertiveRouter;
    }
    return mode;
}

// QuartzLevels keeps at most 7 letters; an eighth one is dropped.
void ReadQuartzAndNetworkType(const Reader &r)
{
    char text[kNumberText];
    Fetch(r, "QuartzLevels", "-1", text, sizeof text);
    if (std::strcmp(text, "-1") == 0) {
        WriteBack(r, "QuartzLevels", "VAB");
        std::strcpy(text, "VAB");
    }
    std::snprintf(Profile.QuartzLevels, sizeof Profile.QuartzLevels, "%.7s", text);

    Fetch(r, "NetworkRouterType", "-1", text, sizeof text);
    if (std::strcmp(text, "-1") == 0)
        WriteBack(r, "NetworkRouterType", "VIDEO");
    Profile.NetworkRouterType = std::strcmp(text, "AUDIO") == 0 ? 0x90 : 0xA0;
}

void SetAdrienneDigits()
{
    char digits[12];
    std::snprintf(digits, sizeof digits, "%02d", Profile.AdrienneAddress);
    Profile.AdrienneAddressDigits[0] = digits[0];
    Profile.AdrienneAddressDigits[1] = digits[1];
}

void ReadDriverKeys(const char *path)
{
    Reader wex{path, "WEX"};
    ReadNumberKeys(wex, kTimingKeys);
    // A negative revertive delay (a typo: -1 is "not set") is no delay for
    // this run.  Taken as a timer period it would be some 49 days, and every
    // tally would wait in PendingTable, unreported and unsaved, all that time.
    if (Profile.RevertiveDelay < 0)
        Profile.RevertiveDelay = 0;
    Profile.DriverMode = ReadDriverMode(wex);
    ReadNumberKeys(wex, kPollKeys);
    // A negative poll period runs as the default for this run, for the
    // same reason: as a timer period the router would never be polled.
    for (const auto &k : kPollKeys)
        if (Profile.*k.field < 0)
            Profile.*k.field = k.then;
    Profile.RevertiveMode = ReadRevertiveMode(wex);
    ReadNumberKeys(wex, kBehaviourKeys);
    WriteBack(wex, "LeitchLevels", "OBSOLETE");
    ReadNumberKeys(wex, kLeitchKeys);
    ReadQuartzAndNetworkType(wex);
    ReadNumberKeys(wex, kUnitKeys);
    SetAdrienneDigits();
}

uint8_t ReadProtocol(const Reader &r)
{
    char text[kProtocolText];
    Fetch(r, "Protocol", "0", text, sizeof text);
    if (std::strlen(text) < 3) {
        WriteBack(r, "Protocol", "NONE");
        return 0;
    }
    UpperCase(text);
    uint8_t code = 0;
    for (const auto &k : kProtocolKeywords)
        if (std::strstr(text, k.keyword))
            code = k.code;
    return code;
}

// NETWORK routers answer slowly: poll them no faster than every 10 s.
void ApplyNetworkFloor()
{
    if (Profile.InitTallyDelay < kNetworkMinDelay)
        Profile.InitTallyDelay = kNetworkMinDelay;
    if (Profile.TallyDelay < kNetworkMinDelay)
        Profile.TallyDelay = kNetworkMinDelay;
}

char ReadParity(const Reader &r)
{
    char text[kNumberText];
    Fetch(r, "Parity", "0", text, sizeof text);
    switch (text[0]) {
    case 'N': case 'n': return 'n';
    case 'E': case 'e': return 'e';
    case 'O': case 'o': return 'o';
    default:
        WriteBack(r, "Parity", "N");
        return 'n';
    }
}

// Reads one "equal to 0" port key.
int32_t ReadPortNumber(const Reader &r, const char *key, const char *written, int32_t then)
{
    int32_t v = ReadKeyNumber(r, key, "0");
    if (v == 0) {
        WriteBack(r, key, written);
        v = then;
    }
    return v;
}

void ClearPortState(int n)
{
    Profile.Ports[n] = PortConfig{};
    if (Hooks.ClearPort)
        Hooks.ClearPort(n);
}

void ReadPortKeys(const char *path, int n)
{
    char section[16], number[12];
    std::snprintf(section, sizeof section, "Com_%d", n);
    std::snprintf(number, sizeof number, "%d", n);
    Reader com{path, section};
    PortConfig &p = Profile.Ports[n];
    ClearPortState(n);
    p.Port = ReadPortNumber(com, "Port", number, n);
    p.MinDest = ReadPortNumber(com, "MinDest", "NONE", 0);
    p.MaxDest = ReadPortNumber(com, "MaxDest", "NONE", 0);
    p.Protocol = ReadProtocol(com);
    if (p.Protocol == kNetworkCode)
        ApplyNetworkFloor();
    p.Speed = static_cast<uint32_t>(ReadPortNumber(com, "Speed", "0", 0));
    p.DataBits = ReadPortNumber(com, "DataBits", "8", 8);
    p.StopBits = ReadPortNumber(com, "StopBits", "1", 1);
    p.Parity = ReadParity(com);
}

}  // namespace

std::string DeviceProfilePath()
{
    char dir[80];
    if (!ReadConfigPath(dir, sizeof dir))
        return "";
    char path[160];
    int n = std::snprintf(path, sizeof path, "%s/DEV_%03d.INI", dir, Shell.DriverId);
    if (n < 0 || static_cast<size_t>(n) > kMaxPathLength)
        return "";
    return path;
}

namespace {

// A profile or paths file that exists but cannot be read is not an empty
// one: reading on would write defaults over it and open the workstation
// gate.  Returns 0 after showing why.
int CheckReadable(const char *what, const std::string &path)
{
    int state = ProfileFileState(path.c_str());
    if (ProfileReadable(state))
        return 1;
    char text[700];
    std::snprintf(text, sizeof text, "The %s '%s' cannot be read (%s); the driver does not start.",
                  what, path.c_str(), FileErrorText(state));
    MessageBox(Shell.MainWindow, text, "! Error !");
    return 0;
}

}  // namespace

int LoadDeviceProfile()
{
    if (!CheckReadable("paths file", PathsFile()))
        return 0;
    std::string path = DeviceProfilePath();
    if (path.empty()) {
        char dir[512];
        ReadConfigPath(dir, sizeof dir);
        char text[700];
        std::snprintf(text, sizeof text,
                      "The path of the device profile INI File 'DEV_%03d.INI' in '%s' is longer "
                      "than %zu characters.",
                      Shell.DriverId, dir, kMaxPathLength);
        MessageBox(Shell.MainWindow, text, "! Error !");
        return 0;
    }
    if (!CheckReadable("device profile INI File", path))
        return 0;
    const char *p = path.c_str();
    ReadName(Reader{p, "WEX"});
    int ok = ReadDatabaseSize(p, "DatabaseSize_0", "sources", &Profile.DatabaseSize_0);
    ok &= ReadDatabaseSize(p, "DatabaseSize_1", "destinations", &Profile.DatabaseSize_1);
    if (ok)
        ok = CheckDestinationCount();
    ReadDriverKeys(p);
    for (int n = 1; n <= kMaxPorts; ++n)
        ReadPortKeys(p, n);
    int32_t workStation = ReadWorkStation();
    if (Hooks.SetWorkStation)
        Hooks.SetWorkStation(workStation);
    if (!LoadWorkstationAccess())
        ok = 0;  // the profile went unreadable while it was being read
    return ok;
}

void SetProfileHooks(const ProfileHooks &hooks) { Hooks = hooks; }

void ProfileReset() { Profile = DeviceProfile{}; }
