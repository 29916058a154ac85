// Profile (INI) files with the semantics the driver relies on: section and
// key names match without regard to case, an absent key gives the caller's
// default, values are trimmed of surrounding blanks and truncated to the
// caller's buffer, and a write creates the file, section or key as needed
// while keeping every other line (comments included).
#pragma once
#include <cstddef>

// Copies the value (or def) into buf, at most size-1 characters and a zero.
// Returns the number of characters copied.
size_t GetPrivateProfileString(const char *section, const char *key, const char *def,
                               char *buf, size_t size, const char *path);
// Writes key=value into [section] of path; returns false when the file
// cannot be written (a missing directory, no permission).
bool WritePrivateProfileString(const char *section, const char *key, const char *value,
                               const char *path);
