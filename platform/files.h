// Reading and replacing the driver's own files (profiles, DEV_nnn.DAT and
// DEV_nnn.LCK) so that a file that cannot be read is never taken for a
// missing one, and a save never leaves a torn file, a changed mode or
// owner, or a plain copy where the operator had a symbolic link.
#pragma once
#include <cstddef>
#include <string>

// The error of a file that opened but is not a regular file (a directory,
// a FIFO, a device); FileErrorText names it.
constexpr int kNotRegularFile = -1;

// Reads at most limit bytes of path into *bytes, following symbolic links.
// Returns 0 when the whole file was read, ENOENT when it does not exist,
// EFBIG when it is larger than limit (*bytes then holds its first limit
// bytes), else the error that stopped the reading (kNotRegularFile, EACCES,
// EMFILE, EIO...), with *bytes empty.
int ReadFileBytes(const char *path, std::string *bytes, size_t limit);

// Replaces the file that path names (the target of a symbolic link) with
// bytes: a temporary file beside the target, flushed, given the target's
// mode and owner, renamed over it, and the directory flushed.  A new file
// gets mode 0644.  Returns 0, or the error; the old file is then untouched.
// A file that nobody may write (no write bit at all), or that this process
// may not open for writing, is refused with EACCES.  The temporary file is
// named <target>.tmpXXXXXX and stays locked (flock) until its rename.
int ReplaceFileBytes(const char *path, const std::string &bytes);

// path with its final symbolic links followed, as open would (a link to a
// file that does not exist yet gives that file's path).
std::string ResolveLinks(const std::string &path);

// strerror, and "not a regular file" for kNotRegularFile.
const char *FileErrorText(int error);

// Where the file layer's notices go (a directory others may write, a
// refused write); null gives standard error.  Each notice is given once
// per run and per file or directory.
using FileNoticeSink = void (*)(const char *text);
void SetFileNoticeSink(FileNoticeSink sink);
// Gives text once per key in this run.
void FileNoticeOnce(const std::string &key, const char *text);
// Forgets which notices were given (tests).
void FileNoticesReset();
