// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "util/safe_file.h"
#include "util/text_codec.h"

namespace app {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string foldAscii(std::string_view utf8) {
    std::string name(utf8);
    for (char& c : name) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}

// Stored names are folded as UTF-8 text: folding the bytes of GBK text would
// change the trail bytes of Chinese characters.
std::string foldedName(std::string_view storedBytes) {
    return foldAscii(util::gbkToUtf8(trim(storedBytes)));
}

// One line of the file as byte offsets into it; `end` excludes the line break.
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;  // start of the following line
};

// Reads the whole file into `text`. An absent file reads as empty; false when the
// file exists but cannot be read whole (no read permission, an I/O error part-way,
// no regular file), so that a writer never mistakes it for an empty one.
bool readWholeFile(const std::string& path, std::string* text) {
    text->clear();
    // O_NONBLOCK: a FIFO in the file's place must not hang the program at open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char chunk[4096];
    while (ok) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text->append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    if (!ok)
        text->clear();
    return ok;
}

// Where a setting is, or where it would go, in the file's text.
struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    std::size_t valueBegin = 0;  // key found: the value's bytes, trimmed
    std::size_t valueEnd = 0;
    std::size_t insertAt = 0;  // section found, key not: behind the section's last entry
};

Location locate(std::string_view text, std::string_view section, std::string_view key) {
    const std::string wantSection = foldAscii(trim(section));
    const std::string wantKey = foldAscii(trim(key));
    Location where;
    bool inSection = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        Line line;
        line.begin = pos;
        std::size_t nl = text.find('\n', pos);
        line.end = nl == std::string_view::npos ? text.size() : nl;
        line.next = nl == std::string_view::npos ? text.size() : nl + 1;
        pos = line.next;

        std::string_view content = trim(text.substr(line.begin, line.end - line.begin));
        if (!content.empty() && content.front() == '[') {
            if (inSection)
                return where;  // the section ended without the key
            std::size_t close = content.find(']');
            std::string_view name = content.substr(
                1, close == std::string_view::npos ? std::string_view::npos : close - 1);
            // Like the usual INI readers, the first section of a name is the one used.
            if (!where.sectionFound && foldedName(name) == wantSection) {
                inSection = true;
                where.sectionFound = true;
                where.insertAt = line.next;
            }
            continue;
        }
        if (!inSection || content.empty() || content.front() == ';')
            continue;
        std::size_t eq = content.find('=');
        if (eq == std::string_view::npos)
            continue;
        where.insertAt = line.next;
        if (foldedName(content.substr(0, eq)) != wantKey)
            continue;
        std::string_view value = trim(content.substr(eq + 1));
        where.keyFound = true;
        where.valueBegin = static_cast<std::size_t>(value.data() - text.data());
        where.valueEnd = where.valueBegin + value.size();
        return where;
    }
    return where;
}

std::string lineBreakOf(std::string_view text) {
    std::size_t nl = text.find('\n');
    if (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r')
        return "\r\n";
    return "\n";
}

}  // namespace

std::string programDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string_view exe(path, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    if (slash == std::string_view::npos)
        return {};
    return std::string(exe.substr(0, slash + 1));
}

bool isInstalledProgram(const std::string& programDir) {
    if (programDir.empty())
        return false;
    struct stat st {};
    return stat((programDir + kInstalledMarkerName).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// The XDG base folder `variable` names, else `fallback` under $HOME; a relative
// value is ignored, as the XDG base directory rules ask.
std::string userDirectory(const char* variable, const char* fallback) {
    const char* base = std::getenv(variable);
    std::string folder;
    if (base != nullptr && base[0] == '/') {
        folder = base;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/')
            return {};
        folder = std::string(home) + "/" + fallback;
    }
    if (folder.back() != '/')
        folder += '/';
    return folder + "chipwright/";
}

}  // namespace

std::string userConfigDirectory() {
    return userDirectory("XDG_CONFIG_HOME", ".config");
}

std::string userStateDirectory() {
    return userDirectory("XDG_STATE_HOME", ".local/state");
}

std::string userDataDirectory() {
    return userDirectory("XDG_DATA_HOME", ".local/share");
}

bool makeUserFolder(const std::string& folder) {
    if (folder.empty())
        return false;
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1)) {
        mkdir(folder.substr(0, slash).c_str(), 0700);
    }
    mkdir(folder.c_str(), 0700);
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string readSetting(const std::string& iniPath, std::string_view section,
                        std::string_view key) {
    // A file that cannot be read gives empty values, as an absent one does.
    std::string text;
    readWholeFile(iniPath, &text);
    Location where = locate(text, section, key);
    if (!where.keyFound)
        return {};
    std::string_view value(text.data() + where.valueBegin, where.valueEnd - where.valueBegin);
    if (value.size() > kMaxSettingBytes)
        value = value.substr(0, kMaxSettingBytes);
    return util::gbkToUtf8(value);
}

bool writeSetting(const std::string& iniPath, std::string_view section, std::string_view key,
                  std::string_view value) {
    // Only a file read whole can be written back: the rest of it must stay.
    std::string text;
    if (!readWholeFile(iniPath, &text))
        return false;
    const std::string stored = util::utf8ToGbk(trim(value));
    Location where = locate(text, section, key);
    if (where.keyFound) {
        text.replace(where.valueBegin, where.valueEnd - where.valueBegin, stored);
    } else {
        const std::string eol = lineBreakOf(text);
        std::string entry = util::utf8ToGbk(trim(key)) + "=" + stored + eol;
        if (where.sectionFound) {
            // The section's last entry may be the file's last line without a break.
            if (where.insertAt == text.size() && !text.empty() && text.back() != '\n') {
                text += eol;
                where.insertAt = text.size();
            }
            text.insert(where.insertAt, entry);
        } else {
            if (!text.empty() && text.back() != '\n')
                text += eol;
            text += "[" + util::utf8ToGbk(trim(section)) + "]" + eol + entry;
        }
    }
    return util::replaceFileSafely(iniPath, text);
}

bool setDefaultChipName(const std::string& iniPath, std::string_view name) {
    return writeSetting(iniPath, "Run", "DefaultChipName", name);
}

}  // namespace app
