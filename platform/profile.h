// Profile (INI) files with the semantics the driver relies on: section and
// key names match without regard to case, an absent key gives the caller's
// default, values are trimmed of surrounding blanks and truncated to the
// caller's buffer, and a write creates the file, section or key as needed
// while keeping every other line (comments included) byte for byte.
#pragma once
#include <cstddef>

// Copies the value (or def) into buf, at most size-1 characters and a zero.
// Returns the number of characters copied.  A file that cannot be read
// gives def, like a missing one: callers for which the difference matters
// use ReadProfileString.
size_t GetPrivateProfileString(const char *section, const char *key, const char *def,
                               char *buf, size_t size, const char *path);
// The same, and *state tells how the file was found: 0 read, ENOENT
// missing, EFBIG larger than the reader takes (the value comes from its
// first part), else the error that stopped the reading (def was used).
size_t ReadProfileString(const char *section, const char *key, const char *def, char *buf,
                         size_t size, const char *path, int *state);
// Writes key=value into [section] of path (a key that already holds the
// value leaves the file untouched).  Returns false when the file could not
// be written: it cannot be read (other than missing) or was too large to be
// read whole (said once as a notice), or it may not be written (no write
// permission, a read-only file, a missing directory).
bool WritePrivateProfileString(const char *section, const char *key, const char *value,
                               const char *path);
// How a read of path finds the file: as *state of ReadProfileString.
int ProfileFileState(const char *path);
// The reader's limit: a profile larger than this is read only in part.
constexpr size_t kMaxProfileBytes = 4 << 20;
