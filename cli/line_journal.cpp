// SPDX-License-Identifier: GPL-3.0-or-later
// The journal file: one entry a line, its fields separated by tabs (a tab, line end or
// backslash inside a field escaped with a backslash), appended under a file lock.
#include "cli/line_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "app/config.h"
#include "app/messages.h"
#include "util/safe_file.h"

namespace cli {
namespace {

constexpr const char* kJournalName = "line-journal.tsv";
constexpr std::size_t kFields = 13;

std::string escaped(const std::string& field) {
    std::string out;
    for (char c : field) {
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r') {
            out += '\\';
            c = c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : c;
        }
        out += c;
    }
    return out;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            out.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char e = line[++i];
            out.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        } else {
            out.back() += c;
        }
    }
    return out;
}

std::string encode(const JournalEntry& e) {
    const line::Attempt& a = e.attempt;
    const std::string all[kFields] = {e.url,
                                      e.held ? std::to_string(*e.held) : "",
                                      std::to_string(a.atMs),
                                      a.station,
                                      a.place,
                                      a.job,
                                      a.chip,
                                      a.command,
                                      a.result,
                                      a.sha256,
                                      a.diagnosis,
                                      a.serial,
                                      std::to_string(a.seconds)};
    std::string line = escaped(all[0]);
    for (std::size_t i = 1; i < kFields; ++i)
        line += "\t" + escaped(all[i]);
    return line + "\n";
}

// Nothing for a line that is not a whole entry (one cut short by a crash).
std::optional<JournalEntry> decode(const std::string& line) {
    const std::vector<std::string> f = fields(line);
    if (f.size() != kFields)
        return std::nullopt;
    try {
        JournalEntry e;
        e.url = f[0];
        if (!f[1].empty())
            e.held = std::stoull(f[1]);
        line::Attempt& a = e.attempt;
        a.atMs = std::stoll(f[2]);
        a.station = f[3], a.place = f[4], a.job = f[5], a.chip = f[6], a.command = f[7];
        a.result = f[8], a.sha256 = f[9], a.diagnosis = f[10], a.serial = f[11];
        a.seconds = std::stod(f[12]);
        return e;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string readAll(int fd) {
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

// Sends one entry; false with `why` when its store cannot take it.
bool sendEntry(const JournalEntry& e, line::Store& store, std::string* why) {
    try {
        store.recordOnce(e.attempt, e.held);
        return true;
    } catch (const line::StoreError& error) {
        *why = error.what();
        return false;
    }
}

using Stores = std::map<std::string, std::unique_ptr<line::Store>>;

// The store an entry goes to: `here` for the station's own, else one opened once per
// URL; nothing with `why` when it cannot be opened.
line::Store* storeFor(const JournalEntry& e, const std::string& url, line::Store& here,
                      Stores* others, std::string* why) {
    if (e.url == url)
        return &here;
    try {
        std::unique_ptr<line::Store>& other = (*others)[e.url];
        if (!other)
            other = line::Store::open(e.url);
        return other.get();
    } catch (const line::StoreError& error) {
        *why = error.what();
        return nullptr;
    }
}

// The journal opened and locked while the descriptor still names the path: a sender
// that put a new journal in place while this one waited for the lock left the old file
// unlinked, and what is written there would be lost. -1 with errno on failure.
int openLocked(const std::string& path, int flags) {
    constexpr int kTries = 100;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
        if (fd < 0)
            return -1;
        if (flock(fd, LOCK_EX) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return fd;
        ::close(fd);
    }
    errno = EAGAIN;
    return -1;
}

// What is left once entries were sent. Kept entries go to a new file put in place by a
// rename, never into the old one cut to nothing first, so that a crash part way leaves
// either journal whole.
void keepOnly(const std::string& path, int fd, const std::string& kept) {
    if (kept.empty()) {
        if (ftruncate(fd, 0) == 0)
            fsync(fd);
        return;
    }
    util::replaceFileSafely(path, kept);
}

}  // namespace

std::string LineJournal::defaultPath() {
    const std::string log = app::messageText(app::MsgLogFile);
    if (log.empty())
        return {};
    const std::filesystem::path folder = std::filesystem::path(log).parent_path();
    return app::makeUserFolder(folder.string()) ? (folder / kJournalName).string() : "";
}

bool LineJournal::append(const JournalEntry& entry, std::string* why) const {
    const int fd = openLocked(path_, O_WRONLY | O_APPEND | O_CREAT);
    bool written = fd >= 0 && util::writeAll(fd, encode(entry)) && fsync(fd) == 0;
    if (!written)
        *why = "cannot write the journal " + path_ + ": " + std::strerror(errno);
    if (fd >= 0 && ::close(fd) != 0 && written) {
        *why = "cannot write the journal " + path_ + ": " + std::strerror(errno);
        written = false;
    }
    return written;
}

JournalSent LineJournal::send(const std::string& url, line::Store& store) const {
    JournalSent result;
    const int fd = openLocked(path_, O_RDWR);
    if (fd < 0 && errno == ENOENT)
        return result;  // no journal: nothing was left unrecorded
    if (fd < 0) {
        result.unreadable = true;
        result.why = "cannot read the journal " + path_ + ": " + std::strerror(errno);
        return result;
    }
    const std::string text = readAll(fd);
    Stores others;
    std::string kept;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string raw = text.substr(at, end - at);
        const std::optional<JournalEntry> e = decode(raw);
        if (!e)
            continue;
        line::Store* target = storeFor(*e, url, store, &others, &result.why);
        if (target && sendEntry(*e, *target, &result.why)) {
            ++result.sent;
            continue;
        }
        ++result.kept;
        result.keptHere += e->url == url;
        kept += raw + "\n";
    }
    // What was sent leaves the journal; an entry sent twice (a crash before this) is
    // known to its store and not recorded again.
    if (result.sent > 0)
        keepOnly(path_, fd, kept);
    ::close(fd);
    return result;
}

std::string journalUrl(const std::string& url) {
    if (url.starts_with("postgresql://") || url.starts_with("postgres://"))
        return url;
    const bool prefixed = url.starts_with("sqlite:");
    const std::filesystem::path path(prefixed ? url.substr(7) : url);
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return "sqlite:" + (ec ? path : absolute).string();
}

}  // namespace cli
