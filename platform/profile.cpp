// Profile files are small; every call reads the whole file, and a write
// replaces it atomically (temporary file, flush, rename) so that a crash
// never leaves half a profile behind.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxFile = 4 << 20;  // a profile larger than this is not ours

bool ReadLines(const char *path, std::vector<std::string> *lines)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return false;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < kMaxFile)
        text.append(chunk, n);
    std::fclose(f);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines->push_back(line);
        start = end + 1;
    }
    return true;
}

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string &a, const char *b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

// "[name]" gives name; a line without the closing bracket is no header.
bool SectionName(const std::string &line, std::string *name)
{
    std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[')
        return false;
    size_t close = t.find(']');
    if (close == std::string::npos)
        return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyValue(const std::string &line, std::string *key, std::string *value)
{
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';')
        return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

bool WriteAtomically(const char *path, const std::vector<std::string> &lines)
{
    std::string tmp = std::string(path) + ".tmpXXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    std::string text;
    for (auto &l : lines)
        text += l + "\r\n";
    bool ok = true;
    size_t off = 0;
    while (off < text.size()) {
        ssize_t w = write(fd, text.data() + off, text.size() - off);
        if (w <= 0) {
            ok = false;
            break;
        }
        off += static_cast<size_t>(w);
    }
    fchmod(fd, 0644);
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok && rename(name.data(), path) != 0)
        ok = false;
    if (!ok)
        unlink(name.data());
    return ok;
}

}  // namespace

size_t GetPrivateProfileString(const char *section, const char *key, const char *def,
                               char *buf, size_t size, const char *path)
{
    if (!buf || size == 0)
        return 0;
    std::string value = def ? def : "";
    std::vector<std::string> lines;
    if (ReadLines(path, &lines)) {
        bool inSection = false;
        for (auto &line : lines) {
            std::string name, k, v;
            if (SectionName(line, &name)) {
                inSection = SameName(name, section);
            } else if (inSection && KeyValue(line, &k, &v) && SameName(k, key)) {
                value = v;
                break;
            }
        }
    }
    size_t n = std::min(value.size(), size - 1);
    std::memcpy(buf, value.data(), n);
    buf[n] = 0;
    return n;
}

bool WritePrivateProfileString(const char *section, const char *key, const char *value,
                               const char *path)
{
    std::vector<std::string> lines;
    ReadLines(path, &lines);
    std::string entry = std::string(key) + "=" + (value ? value : "");
    int sectionAt = -1, lastInSection = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name, k, v;
        if (SectionName(lines[i], &name)) {
            if (sectionAt >= 0)
                break;
            if (SameName(name, section))
                sectionAt = lastInSection = static_cast<int>(i);
        } else if (sectionAt >= 0) {
            if (KeyValue(lines[i], &k, &v) && SameName(k, key)) {
                lines[i] = entry;
                return WriteAtomically(path, lines);
            }
            if (!Trim(lines[i]).empty())
                lastInSection = static_cast<int>(i);
        }
    }
    if (sectionAt < 0) {
        std::string header = "[";
        header += section;
        header += "]";
        lines.push_back(header);
        lines.push_back(entry);
    } else {
        lines.insert(lines.begin() + lastInSection + 1, entry);
    }
    return WriteAtomically(path, lines);
}
