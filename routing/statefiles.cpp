// DEV_nnn.DAT and DEV_nnn.LCK, beside the device profile.
//
// DEV_nnn.DAT, 16384 bytes, no header: TallyTable[1..4096] then
// VirtualTable[1..4096], each entry as 16 bits high byte first (the low 16
// bits of the entry).  A tally of 300 and one of -1 begin the file with
// 01 2C FF FF; the -1 reads back as 65535.
// DEV_nnn.LCK, 4096 bytes: LockTable[1..4096], one byte each (the low 8
// bits; 0 unlocked, and a lock whose low 8 bits are 0 is stored as 1).
//
// Loading the tallies also takes them as the pending ones: nothing waits
// for the revertive-delay timer yet.
//
// Loading is deliberately forgiving: a short file loads as far as it goes
// and every missing byte counts as -1 (so a lost pair gives -257 and a lost
// lock byte a locked destination).  Files are replaced atomically, and no
// save is made in a run that has not loaded the tables: a shutdown during
// start-up must not wipe what the last run stored.  Only a file that does
// not exist is missing: one that cannot be read (no permission, no
// descriptor left, not a regular file) is said as an event line, left as it
// is, and not saved for the rest of the run.
//
// A writer killed between creating its temporary file (DEV_nnn.DAT.tmpXXXXXX)
// and renaming it leaves that file behind.  Loading never reads those, and
// removes the ones of this Id that no live writer holds, so they cannot pile
// up over years of restarts.
#include "routing/statefiles.h"

#include "config/paths.h"
#include "config/profile.h"
#include "platform/debug.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/root.h"
#include "platform/shellstate.h"
#include "routing/tables.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

constexpr size_t kIndexBytes = 4 * kMaxDest;  // two tables of 16-bit pairs
constexpr size_t kLockBytes = kMaxDest;
constexpr size_t kMaxPathLength = 79;
constexpr const char *kTempSuffix = ".tmp";
constexpr size_t kTempRandomChars = 6;  // the XXXXXX of ReplaceFileBytes

// What this run knows of one state file.  A file that could not be read
// (other than missing) is never saved in this run: its stored contents are
// all the driver has of them.  A failed save is said once, and once more
// when saving works again.
struct StateFile {
    const char *extension;
    const char *what;        // "index", "lock"
    const char *debugText;   // the debug line of each failed save
    bool unreadable = false;
    bool failing = false;
};

StateFile IndexFile{"DAT", "index", "Couldn't write index file - '%s'"};
StateFile LockFile{"LCK", "lock", "Couldn't write lock file - '%s'"};

uint32_t SaveCounter = 0;

// Removes the temporary files that killed writers left beside path.  One
// that is still locked belongs to a save in progress (another process of
// the same Id, say) and is left alone.
void RemoveStaleTemporaries(const std::string &given)
{
    std::string path = ResolveLinks(given);  // a save puts them beside the target
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

// The path is looked up afresh every time: the paths file may have moved
// the configuration directory.  Returns 0, ENAMETOOLONG when the path is
// longer than 79 characters, or the error that keeps the paths file from
// being read.
int StatePath(const char *extension, std::string *path)
{
    char dir[80];
    if (!ReadConfigPath(dir, sizeof dir)) {
        int state = ProfileFileState(PathsFile().c_str());
        return state == 0 ? EIO : state;  // readable again since: still no path now
    }
    char name[16];
    std::snprintf(name, sizeof name, "/DEV_%03d.%s", Shell.DriverId, extension);
    *path = std::string(dir) + name;
    return path->size() <= kMaxPathLength ? 0 : ENAMETOOLONG;
}

// Byte i of what was read, or -1 past the end (the byte reader's EOF).
int ByteAt(const std::string &bytes, size_t i)
{
    return i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : -1;
}

// Reads the file for loading: 0 with its first size bytes, ENOENT (or
// ENAMETOOLONG) when there is nothing to load, else the error, said as an
// event line; the file is then not saved in this run.
int ReadStateFile(StateFile &f, std::string *bytes, size_t size)
{
    std::string path;
    int error = StatePath(f.extension, &path);
    if (error == 0) {
        RemoveStaleTemporaries(path);
        error = ReadFileBytes(path.c_str(), bytes, size);
    }
    if (error == EFBIG)
        error = 0;  // a longer file loads its first size bytes
    if (error != 0 && error != ENOENT && error != ENAMETOOLONG) {
        char event[300];
        std::snprintf(event, sizeof event, "Couldn't read %s file - '%s': %s", f.what,
                      path.empty() ? PathsFile().c_str() : path.c_str(), FileErrorText(error));
        LogEvent(event, 1);
        f.unreadable = true;
    }
    return error;
}

void SaveStateFile(StateFile &f, const std::string &bytes)
{
    std::string path;
    int error = StatePath(f.extension, &path);
    if (error == 0)
        error = ReplaceFileBytes(path.c_str(), bytes);
    if (error != 0)
        DebugPrintf(f.debugText, path.c_str());
    if (error != 0 && !f.failing) {
        char event[300];
        std::snprintf(event, sizeof event, "Couldn't save %s file - '%s': %s", f.what,
                      path.c_str(), FileErrorText(error));
        LogEvent(event, 1);
    } else if (error == 0 && f.failing) {
        char event[300];
        std::snprintf(event, sizeof event, "The %s file is saved again - '%s'", f.what, path.c_str());
        LogEvent(event, 1);
    }
    f.failing = error != 0;
}

void PutPair(std::string *bytes, int32_t value)
{
    uint32_t v = static_cast<uint32_t>(value);
    bytes->push_back(static_cast<char>((v >> 8) & 0xFF));
    bytes->push_back(static_cast<char>(v & 0xFF));
}

void WriteIndexFile()
{
    std::string bytes;
    bytes.reserve(kIndexBytes);
    for (int d = 1; d <= kMaxDest; ++d)
        PutPair(&bytes, Routing.TallyTable[d]);
    for (int d = 1; d <= kMaxDest; ++d)
        PutPair(&bytes, Routing.VirtualTable[d]);
    SaveStateFile(IndexFile, bytes);
}

// A lock whose low byte is 0 (a state of 256, say) is still a lock: it is
// stored as 1, or a restart would silently unlock the destination.
void WriteLockFile()
{
    std::string bytes(kLockBytes, '\0');
    for (size_t d = 1; d <= kMaxDest; ++d) {
        uint32_t state = static_cast<uint32_t>(Routing.LockTable[d]);
        uint32_t low = state & 0xFF;
        bytes[d - 1] = static_cast<char>(state != 0 && low == 0 ? 1 : low);
    }
    SaveStateFile(LockFile, bytes);
}

// Unset virtual entries (0 or less, or a missing pair) start as ParkSource.
void ParkUnsetVirtuals()
{
    for (int d = 1; d <= kMaxDest; ++d)
        if (Routing.VirtualTable[d] <= 0 && d >= Profile.FirstVirtual)
            Routing.VirtualTable[d] = Profile.ParkSource;
}

// Nothing waits for the revertive-delay timer yet.  Were the pending
// entries left at 0, its first tick would park every loaded tally that no
// reply has repeated, report it so and let the next save store it.
void NothingPending()
{
    for (int d = 1; d <= kMaxDest; ++d)
        Routing.PendingTable[d] = Routing.TallyTable[d];
}

}  // namespace

bool LoadIndexFile()
{
    std::string bytes;
    int error = ReadStateFile(IndexFile, &bytes, kIndexBytes);
    if (error == 0) {
        for (size_t d = 1; d <= kMaxDest; ++d) {
            size_t at = 2 * (d - 1);
            Routing.TallyTable[d] = 256 * ByteAt(bytes, at) + ByteAt(bytes, at + 1);
            at += 2 * kMaxDest;
            Routing.VirtualTable[d] = 256 * ByteAt(bytes, at) + ByteAt(bytes, at + 1);
        }
        ParkUnsetVirtuals();
        NothingPending();
        return true;
    }
    if (IndexFile.unreadable)
        return false;  // the tables stay as they are; nothing is written
    for (int d = 1; d <= kMaxDest; ++d) {
        Routing.TallyTable[d] = 0;
        Routing.VirtualTable[d] = 0;
    }
    ParkUnsetVirtuals();
    NothingPending();
    WriteIndexFile();  // creating the missing file is part of loading
    return true;
}

void SaveIndexFile()
{
    if (Shell.TablesLoaded && !IndexFile.unreadable)
        WriteIndexFile();
}

// The second load of start-up: from here on the tables hold what was
// stored (or the defaults the files were just created with), so saves may
// replace the files.
bool LoadLockFile()
{
    std::string bytes;
    int error = ReadStateFile(LockFile, &bytes, kLockBytes);
    if (error == 0) {
        for (size_t d = 1; d <= kMaxDest; ++d)
            Routing.LockTable[d] = ByteAt(bytes, d - 1);
    } else if (!LockFile.unreadable) {
        for (int d = 1; d <= kMaxDest; ++d)
            Routing.LockTable[d] = 0;
        WriteLockFile();
    }
    Shell.TablesLoaded = StateFilesReadable();
    return !LockFile.unreadable;
}

void SaveLockFile()
{
    if (Shell.TablesLoaded && !LockFile.unreadable)
        WriteLockFile();
}

bool StateFilesReadable() { return !IndexFile.unreadable && !LockFile.unreadable; }

void PeriodicSaveTick()
{
    ++SaveCounter;
    if (SaveCounter >= static_cast<uint32_t>(Profile.SaveDelay)) {
        SaveCounter = 0;
        SaveIndexFile();
    }
}

uint32_t PeriodicSaveCounter() { return SaveCounter; }

void StateFilesReset()
{
    SaveCounter = 0;
    IndexFile.unreadable = IndexFile.failing = false;
    LockFile.unreadable = LockFile.failing = false;
}
