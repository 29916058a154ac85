// The site-wide paths are looked up afresh on every call, so an operator who
// moves the configuration directory while the driver runs moves its next
// save with it.  A missing key is written back with the default in use, so
// the paths file documents itself.
#include "config/paths.h"

#include "config/profile.h"
#include "platform/debug.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/root.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace {

uint8_t *AccessTable = nullptr;  // SetWorkstationAccessTable

constexpr size_t kPathWork = 512;    // the value as stored, up to 511 characters
constexpr size_t kNumberText = 9;    // numbers count by their first 8 characters
constexpr size_t kAccessText = 256;
constexpr size_t kItemText = 80;     // one access item, up to 79 characters

// Copies src into the caller's buffer, zero-padded.  A path that does not
// fit is cut to size-1 characters and still ends in a zero; every file name
// built on such a path is then longer than 79 characters and is refused by
// its builder, so a cut path never names a file.
void CopyPath(const char *src, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return;
    std::memset(buffer, 0, size);
    size_t n = std::strlen(src);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(buffer, src, n);
}

// One [Config] key: "NONE" exactly (case counts) means unset.  A paths
// file that cannot be read gives an empty path and writes nothing: a
// default directory in its place would move the device's files.
bool ReadPathKey(const char *key, const std::string &fallback, char *buffer, size_t size)
{
    std::string file = PathsFile();
    char work[kPathWork];
    int state = 0;
    ReadProfileString("Config", key, "NONE", work, sizeof work, file.c_str(), &state);
    if (!ProfileReadable(state)) {
        CopyPath("", buffer, size);
        return false;
    }
    if (std::strcmp(work, "NONE") == 0) {
        CopyPath(fallback.c_str(), work, sizeof work);
        WritePrivateProfileString("Config", key, work, file.c_str());
    }
    CopyPath(work, buffer, size);
    return true;
}

// Reads "first-second" the way "%d-%d" scans it: blanks and a sign before
// each number, the hyphen right after the first one.  Returns false unless
// both numbers are there.
bool ReadNumberDigits(const char **p, int64_t *out)
{
    const char *s = *p;
    while (*s && std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*s)))
        return false;
    int64_t v = 0;
    while (std::isdigit(static_cast<unsigned char>(*s))) {
        if (v < INT_MAX)  // saturate: only 0..1000 matters to the caller
            v = v * 10 + (*s - '0');
        ++s;
    }
    *out = negative ? -v : v;
    *p = s;
    return true;
}

bool ReadRange(const char *item, int64_t *first, int64_t *second)
{
    const char *p = item;
    if (!ReadNumberDigits(&p, first) || *p != '-')
        return false;
    ++p;
    return ReadNumberDigits(&p, second);
}

// An item with a hyphen but not "number-number" (5-, -5, 5 - 7) allows
// nothing.  Only 0..1000 can change the table, so a huge range costs no
// more than a small one.
void AllowItem(const char *item)
{
    if (!std::strchr(item, '-')) {
        AllowWorkstation(ReadCheckedNumber(item));
        return;
    }
    int64_t first = 0, second = 0;
    if (!ReadRange(item, &first, &second))
        return;
    if (first < 0)
        first = 0;
    if (second > kWorkstations - 1)
        second = kWorkstations - 1;
    for (int64_t k = first; k <= second; ++k)
        AllowWorkstation(static_cast<int32_t>(k));
}

void AllowList(const char *list)
{
    const char *p = list;
    while (*p) {
        size_t len = std::strcspn(p, ",");
        if (len > 0) {
            char item[kItemText];
            size_t n = len < sizeof item - 1 ? len : sizeof item - 1;
            std::memcpy(item, p, n);
            item[n] = 0;
            AllowItem(item);
        }
        p += len;
        if (*p == ',')
            ++p;
    }
}

}  // namespace

bool ProfileReadable(int state) { return state == 0 || state == ENOENT || state == EFBIG; }

bool ReadConfigPath(char *buffer, size_t size)
{
    return ReadPathKey("ConfigPath", WindowsDirectory(), buffer, size);
}

bool ReadSystemPath(char *buffer, size_t size)
{
    return ReadPathKey("SystemPath", WindowsDirectory(), buffer, size);
}

bool ReadTempPath(char *buffer, size_t size)
{
    return ReadPathKey("TempPath", RootDirectory() + "/vek_temp", buffer, size);
}

// A KALDERA.INI that cannot be read leaves the number unknown (-1), as a
// missing one does, but is said as an event line and not written to.
int32_t ReadWorkStation()
{
    std::string file = WorkstationFile();
    char text[kNumberText];
    int state = 0;
    ReadProfileString("System", "WorkStation", "-1", text, sizeof text, file.c_str(), &state);
    if (!ProfileReadable(state)) {
        std::string event = "Couldn't read '" + file + "': " + FileErrorText(state);
        LogEvent(event.c_str(), 1);
        return -1;
    }
    int32_t workstation = ReadNumber(text);
    if (workstation == -1)
        WritePrivateProfileString("System", "WorkStation", "-1", file.c_str());
    return workstation;
}

// Entry 0 is the driver's own keyboard panel and is always obeyed.  A
// profile path that cannot be built, or a profile that cannot be read,
// leaves the list as it was: an unreadable list must not open the gate.
void SetWorkstationAccessTable(uint8_t *table) { AccessTable = table; }

int WorkstationAllowed(int32_t w)
{
    return AccessTable && w >= 0 && w < kWorkstations && AccessTable[w] ? 1 : 0;
}

void AllowWorkstation(int32_t n)
{
    if (AccessTable && n >= 1 && n <= 999)
        AccessTable[n] = 1;
}

bool LoadWorkstationAccess()
{
    std::string path = DeviceProfilePath();
    if (path.empty()) {
        DebugPrint("Workstation access list not read: no profile path");
        return false;
    }
    char value[kAccessText];
    int state = 0;
    ReadProfileString("Security", "Access", "ALL", value, sizeof value, path.c_str(), &state);
    if (!ProfileReadable(state)) {
        std::string event = "Workstation access list kept: couldn't read '" + path + "': " +
                            FileErrorText(state);
        LogEvent(event.c_str(), 1);
        return false;
    }
    if (std::strcmp(value, "ALL") == 0)
        WritePrivateProfileString("Security", "Access", "ALL", path.c_str());
    for (char *c = value; *c; ++c)
        *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    DebugPrint(value);

    if (!AccessTable)
        return true;  // nothing registered to fill (a program without the command layer)
    std::memset(AccessTable, 0, kWorkstations);
    AccessTable[0] = 1;
    if (std::strstr(value, "ALL")) {
        std::memset(AccessTable, 1, kWorkstations);
        return true;
    }
    AllowList(value);
    return true;
}
