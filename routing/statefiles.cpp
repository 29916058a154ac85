// DEV_nnn.DAT and DEV_nnn.LCK, beside the device profile.
//
// DEV_nnn.DAT, 16384 bytes, no header: TallyTable[1..4096] then
// VirtualTable[1..4096], each entry as 16 bits high byte first (the low 16
// bits of the entry).  A tally of 300 and one of -1 begin the file with
// 01 2C FF FF; the -1 reads back as 65535.
// DEV_nnn.LCK, 4096 bytes: LockTable[1..4096], one byte each (the low 8
// bits; 0 unlocked).
//
// Loading is deliberately forgiving: a short file loads as far as it goes
// and every missing byte counts as -1 (so a lost pair gives -257 and a lost
// lock byte a locked destination).  Files are replaced atomically, and no
// save is made in a run that has not loaded the tables: a shutdown during
// start-up must not wipe what the last run stored.
//
// A writer killed between creating its temporary file (DEV_nnn.DAT.tmpXXXXXX)
// and renaming it leaves that file behind.  Loading never reads those, and
// removes the ones of this Id that no live writer holds, so they cannot pile
// up over years of restarts.
#include "routing/statefiles.h"

#include "config/paths.h"
#include "config/profile.h"
#include "routing/tables.h"
#include "shell/debug.h"
#include "shell/shell.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr size_t kIndexBytes = 4 * kMaxDest;  // two tables of 16-bit pairs
constexpr size_t kLockBytes = kMaxDest;
constexpr size_t kMaxPathLength = 79;
constexpr const char *kTempSuffix = ".tmp";
constexpr size_t kTempRandomChars = 6;  // the XXXXXX of mkstemp

uint32_t SaveCounter = 0;

// The path is looked up afresh every time: the paths file may have moved
// the configuration directory.  False when it is longer than 79 characters.
bool StatePath(const char *extension, std::string *path)
{
    char dir[80];
    ReadConfigPath(dir, sizeof dir);
    char name[16];
    std::snprintf(name, sizeof name, "/DEV_%03d.%s", Shell.DriverId, extension);
    *path = std::string(dir) + name;
    return path->size() <= kMaxPathLength;
}

// Reads up to size bytes; returns false when the file does not open.
bool ReadBytes(const std::string &path, std::vector<uint8_t> *bytes, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bytes->assign(size, 0);
    size_t got = std::fread(bytes->data(), 1, size, f);
    bytes->resize(got);
    std::fclose(f);
    return true;
}

// Byte i of what was read, or -1 past the end (the byte reader's EOF).
int ByteAt(const std::vector<uint8_t> &bytes, size_t i) { return i < bytes.size() ? bytes[i] : -1; }

bool WriteAll(int fd, const std::vector<uint8_t> &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + off, bytes.size() - off);
        if (w <= 0)
            return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// Temporary file in the same directory, flushed to disk, renamed over the
// old one: a crash or a full disk leaves either the old file or the new.
// The temporary file stays locked until it is renamed, which tells a
// loading process that it belongs to a live writer.
bool ReplaceFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::string pattern = path + kTempSuffix + std::string(kTempRandomChars, 'X');
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    flock(fd, LOCK_EX | LOCK_NB);
    bool ok = WriteAll(fd, bytes);
    ok = ok && fchmod(fd, 0644) == 0;
    ok = ok && fsync(fd) == 0;
    ok = ok && rename(name.data(), path.c_str()) == 0;
    if (!ok)
        unlink(name.data());
    close(fd);  // after fsync and rename nothing is left for close to report
    return ok;
}

// Removes the temporary files that killed writers left beside path.  One
// that is still locked belongs to a save in progress (another process of
// the same Id, say) and is left alone.
void RemoveStaleTemporaries(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + kTempSuffix;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() != prefix.size() + kTempRandomChars || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string full = dir + "/" + name;
        int fd = open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlink(full.c_str());
        close(fd);
    }
    closedir(d);
}

void PutPair(std::vector<uint8_t> *bytes, int32_t value)
{
    uint32_t v = static_cast<uint32_t>(value);
    bytes->push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    bytes->push_back(static_cast<uint8_t>(v & 0xFF));
}

void WriteIndexFile()
{
    std::string path;
    bool fits = StatePath("DAT", &path);
    std::vector<uint8_t> bytes;
    bytes.reserve(kIndexBytes);
    for (int d = 1; d <= kMaxDest; ++d)
        PutPair(&bytes, Routing.TallyTable[d]);
    for (int d = 1; d <= kMaxDest; ++d)
        PutPair(&bytes, Routing.VirtualTable[d]);
    if (!fits || !ReplaceFile(path, bytes))
        DebugPrintf("Couldn't write index file - '%s'", path.c_str());
}

void WriteLockFile()
{
    std::string path;
    bool fits = StatePath("LCK", &path);
    std::vector<uint8_t> bytes(kLockBytes);
    for (size_t d = 1; d <= kMaxDest; ++d)
        bytes[d - 1] = static_cast<uint8_t>(static_cast<uint32_t>(Routing.LockTable[d]) & 0xFF);
    if (!fits || !ReplaceFile(path, bytes))
        DebugPrintf("Couldn't write lock file - '%s'", path.c_str());
}

// Unset virtual entries (0 or less, or a missing pair) start as ParkSource.
void ParkUnsetVirtuals()
{
    for (int d = 1; d <= kMaxDest; ++d)
        if (Routing.VirtualTable[d] <= 0 && d >= Profile.FirstVirtual)
            Routing.VirtualTable[d] = Profile.ParkSource;
}

}  // namespace

void LoadIndexFile()
{
    std::string path;
    std::vector<uint8_t> bytes;
    bool fits = StatePath("DAT", &path);
    if (fits)
        RemoveStaleTemporaries(path);
    if (fits && ReadBytes(path, &bytes, kIndexBytes)) {
        for (size_t d = 1; d <= kMaxDest; ++d) {
            size_t at = 2 * (d - 1);
            Routing.TallyTable[d] = 256 * ByteAt(bytes, at) + ByteAt(bytes, at + 1);
            at += 2 * kMaxDest;
            Routing.VirtualTable[d] = 256 * ByteAt(bytes, at) + ByteAt(bytes, at + 1);
        }
        ParkUnsetVirtuals();
        return;
    }
    for (int d = 1; d <= kMaxDest; ++d) {
        Routing.TallyTable[d] = 0;
        Routing.VirtualTable[d] = 0;
    }
    ParkUnsetVirtuals();
    WriteIndexFile();  // creating the missing file is part of loading
}

void SaveIndexFile()
{
    if (Shell.TablesLoaded)
        WriteIndexFile();
}

// The second load of start-up: from here on the tables hold what was
// stored (or the defaults the files were just created with), so saves may
// replace the files.
void LoadLockFile()
{
    std::string path;
    std::vector<uint8_t> bytes;
    bool fits = StatePath("LCK", &path);
    if (fits)
        RemoveStaleTemporaries(path);
    if (fits && ReadBytes(path, &bytes, kLockBytes)) {
        for (size_t d = 1; d <= kMaxDest; ++d)
            Routing.LockTable[d] = ByteAt(bytes, d - 1);
    } else {
        for (int d = 1; d <= kMaxDest; ++d)
            Routing.LockTable[d] = 0;
        WriteLockFile();
    }
    Shell.TablesLoaded = true;
}

void SaveLockFile()
{
    if (Shell.TablesLoaded)
        WriteLockFile();
}

void PeriodicSaveTick()
{
    ++SaveCounter;
    if (SaveCounter >= static_cast<uint32_t>(Profile.SaveDelay)) {
        SaveCounter = 0;
        SaveIndexFile();
    }
}

uint32_t PeriodicSaveCounter() { return SaveCounter; }

void StateFilesReset() { SaveCounter = 0; }
