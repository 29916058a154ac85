// Profile files are small; every call reads the whole file.  A write keeps
// each line that was there byte for byte (its own line ending included),
// gives new lines the file's own line ending, and replaces the file through
// ReplaceFileBytes: atomically, on a link's target, with its mode and owner.
// A file that could not be read whole is never written back.
#include "platform/profile.h"

#include "platform/files.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Line {
    std::string text;  // without its line ending
    std::string eol;   // "\r\n", "\n", "\r", or "" for a last line without one
};

// Editors that save UTF-8 may put this mark first; it is kept on write-back
// but is no part of the first line, or a first [WEX] would go unseen and a
// second one be added below with the defaults.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

struct ProfileText {
    std::vector<Line> lines;
    std::string eol = "\n";  // the file's own line ending: that of its first line
    std::string mark;        // a byte order mark the file began with
};

int ReadLines(const char *path, ProfileText *file)
{
    std::string text;
    int state = ReadFileBytes(path, &text, kMaxProfileBytes);
    bool sawEnding = false;
    size_t start = 0;
    if (text.compare(0, sizeof kByteOrderMark - 1, kByteOrderMark) == 0) {
        file->mark = kByteOrderMark;
        start = file->mark.size();
    }
    // A carriage return alone ends a line too (files saved the old Mac
    // way): read as one line, such a file would have no keys at all.
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        Line line;
        if (end == std::string::npos) {
            line.text = text.substr(start);
            end = text.size();
        } else {
            line.text = text.substr(start, end - start);
            line.eol = text.compare(end, 2, "\r\n") == 0 ? "\r\n" : text.substr(end, 1);
            if (!sawEnding)
                file->eol = line.eol;
            sawEnding = true;
        }
        file->lines.push_back(line);
        start = end + line.eol.size();
        if (line.eol.empty())
            break;
    }
    return state;
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

bool WriteLines(const char *path, const ProfileText &file)
{
    std::string text = file.mark;
    for (auto &l : file.lines)
        text += l.text + l.eol;
    return ReplaceFileBytes(path, text) == 0;
}

// A line added after `at` (or at the end): the line before it gets an
// ending if it had none.
void InsertLine(ProfileText *file, size_t at, const std::string &text)
{
    if (at > 0 && file->lines[at - 1].eol.empty())
        file->lines[at - 1].eol = file->eol;
    file->lines.insert(file->lines.begin() + static_cast<long>(at), Line{text, file->eol});
}

// Whether the file may be written back after reading it; says why not.
bool ReadWhole(const char *path, int state)
{
    if (state == 0 || state == ENOENT)
        return true;
    std::string text = std::string("Not written: '") + path + "' " +
                       (state == EFBIG ? "is larger than " + std::to_string(kMaxProfileBytes) +
                                             " bytes and was read only in part"
                                       : std::string("cannot be read: ") + FileErrorText(state));
    FileNoticeOnce("unread:" + std::string(path), text.c_str());
    return false;
}

}  // namespace

size_t ReadProfileString(const char *section, const char *key, const char *def, char *buf,
                         size_t size, const char *path, int *state)
{
    std::string value = def ? def : "";
    ProfileText file;
    int found = ReadLines(path, &file);
    bool inSection = false;
    for (auto &line : file.lines) {
        std::string name, k, v;
        if (SectionName(line.text, &name)) {
            inSection = SameName(name, section);
        } else if (inSection && KeyValue(line.text, &k, &v) && SameName(k, key)) {
            value = v;
            break;
        }
    }
    if (state)
        *state = found;
    if (!buf || size == 0)
        return 0;
    size_t n = std::min(value.size(), size - 1);
    std::memcpy(buf, value.data(), n);
    buf[n] = 0;
    return n;
}

size_t GetPrivateProfileString(const char *section, const char *key, const char *def,
                               char *buf, size_t size, const char *path)
{
    return ReadProfileString(section, key, def, buf, size, path, nullptr);
}

int ProfileFileState(const char *path)
{
    std::string bytes;
    return ReadFileBytes(path, &bytes, kMaxProfileBytes);
}

bool WritePrivateProfileString(const char *section, const char *key, const char *value,
                               const char *path)
{
    ProfileText file;
    if (!ReadWhole(path, ReadLines(path, &file)))
        return false;
    std::string wanted = value ? value : "";
    std::string entry = std::string(key) + "=" + wanted;
    // The key is looked for as the reader looks for it, through every
    // section of that name, so that the line changed is the line read; a
    // new key goes into the first such section.
    int sectionAt = -1, lastInSection = -1;
    bool inSection = false, inFirst = false;
    for (size_t i = 0; i < file.lines.size(); ++i) {
        std::string name, k, v;
        const std::string &line = file.lines[i].text;
        if (SectionName(line, &name)) {
            inSection = SameName(name, section);
            inFirst = inSection && sectionAt < 0;
            if (inFirst)
                sectionAt = lastInSection = static_cast<int>(i);
        } else if (inSection) {
            if (KeyValue(line, &k, &v) && SameName(k, key)) {
                if (v == Trim(wanted))
                    return true;  // already says so: the file is not touched
                file.lines[i].text = entry;
                return WriteLines(path, file);
            }
            if (inFirst && !Trim(line).empty())
                lastInSection = static_cast<int>(i);
        }
    }
    if (sectionAt < 0) {
        InsertLine(&file, file.lines.size(), "[" + std::string(section) + "]");
        InsertLine(&file, file.lines.size(), entry);
    } else {
        InsertLine(&file, static_cast<size_t>(lastInSection) + 1, entry);
    }
    return WriteLines(path, file);
}
