// Reads open with O_NONBLOCK so that a FIFO put in a file's place cannot
// hang the driver, and read only regular files.  Replacing keeps the atomic
// rename (a crash leaves the old file or the new one, never half of one),
// done on the link's target with the target's mode and owner; the
// directory is flushed after the rename so that a power cut cannot bring
// the previous contents back.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace {

constexpr int kMaxLinkHops = 40;  // what the kernel allows before ELOOP
constexpr mode_t kNewFileMode = 0644;
constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

FileNoticeSink Sink = nullptr;
std::mutex NoticeLock;
std::set<std::string> Noticed;

std::string DirectoryOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A directory that group or others may write lets them put their own file,
// or a link, where the driver reads its settings and tables.
void WarnIfOpenDirectory(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return;
    std::string text = "Directory '" + dir + "' is writable by group or others";
    FileNoticeOnce("dir:" + dir, text.c_str());
}

bool WriteAll(int fd, const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + off, bytes.size() - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// May this process write the existing file?  A file without any write bit
// is read-only for everyone, root included.
int CheckWritable(const std::string &target, const struct stat &st)
{
    if (!S_ISREG(st.st_mode))
        return kNotRegularFile;
    if ((st.st_mode & kAnyWrite) == 0)
        return EACCES;
    int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

int FlushDirectory(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return error == EINVAL ? 0 : error;  // a file system that cannot sync directories
}

// The temporary file's contents, mode and owner, flushed.
int FillTemporary(int fd, const std::string &bytes, const struct stat *old)
{
    errno = 0;
    if (!WriteAll(fd, bytes))
        return errno ? errno : EIO;
    mode_t mode = old ? (old->st_mode & 07777) : kNewFileMode;
    if (old && (old->st_uid != geteuid() || old->st_gid != getegid()) &&
        fchown(fd, old->st_uid, old->st_gid) != 0)
        return errno;  // the owner cannot be kept: leave the old file as it is
    if (fchmod(fd, mode) != 0)
        return errno;
    return fsync(fd) == 0 ? 0 : errno;
}

}  // namespace

std::string ResolveLinks(const std::string &path)
{
    std::string current = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        char target[PATH_MAX];
        ssize_t n = readlink(current.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return current;
        target[n] = 0;
        current = target[0] == '/' ? std::string(target) : DirectoryOf(current) + "/" + target;
    }
    return current;
}

int ReadFileBytes(const char *path, std::string *bytes, size_t limit)
{
    bytes->clear();
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    WarnIfOpenDirectory(DirectoryOf(path));
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = kNotRegularFile;
    char chunk[4096];
    while (error == 0) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        size_t take = std::min(static_cast<size_t>(n), limit - bytes->size());
        bytes->append(chunk, take);
        if (take < static_cast<size_t>(n))
            error = EFBIG;
    }
    close(fd);
    if (error != 0 && error != EFBIG)
        bytes->clear();
    return error;
}

int ReplaceFileBytes(const char *path, const std::string &bytes)
{
    std::string target = ResolveLinks(path);
    struct stat st;
    bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return errno;
    if (exists)
        if (int error = CheckWritable(target, st))
            return error;
    std::string pattern = target + ".tmpXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    flock(fd, LOCK_EX | LOCK_NB);  // tells a loading process a live writer owns it
    int error = FillTemporary(fd, bytes, exists ? &st : nullptr);
    if (error == 0 && rename(name.data(), target.c_str()) != 0)
        error = errno;
    if (error != 0)
        unlink(name.data());
    close(fd);  // after fsync and rename nothing is left for close to report
    if (error == 0)
        error = FlushDirectory(DirectoryOf(target));
    return error;
}

const char *FileErrorText(int error)
{
    return error == kNotRegularFile ? "not a regular file" : std::strerror(error);
}

void SetFileNoticeSink(FileNoticeSink sink) { Sink = sink; }

void FileNoticeOnce(const std::string &key, const char *text)
{
    {
        std::lock_guard<std::mutex> hold(NoticeLock);
        if (!Noticed.insert(key).second)
            return;
    }
    if (Sink)
        Sink(text);
    else
        std::fprintf(stderr, "%s\n", text);
}

void FileNoticesReset()
{
    std::lock_guard<std::mutex> hold(NoticeLock);
    Noticed.clear();
}
