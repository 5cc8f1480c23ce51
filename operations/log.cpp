// SPDX-License-Identifier: GPL-3.0-or-later
#include "operations/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "app/messages.h"
#include "util/safe_file.h"
#include "util/text_codec.h"
#include "util/tick.h"

namespace operations {
namespace {

constexpr char kEntryStart[] = "\r\n";
// The clock's hours, minutes and seconds in a fixed form: the program's locale (which a
// toolkit may set from the environment) must not change the log's shape.
constexpr char kStampFormat[] = "%Y/%m/%d/ %H:%M:%S";

}  // namespace

std::string logStamp(std::time_t now, std::uint64_t tickMs) {
    std::tm local{};
    localtime_r(&now, &local);
    char date[64];
    if (std::strftime(date, sizeof date, kStampFormat, &local) == 0)
        date[0] = '\0';
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%s.%03u: ", date, static_cast<unsigned>(tickMs % 1000));
    return stamp;
}

Log::Log(PathSource path)
    : path_(path ? std::move(path) : [] { return app::messageText(app::MsgLogFile); }),
      tick_(util::tickMs),
      now_([] { return std::time(nullptr); }) {}

std::string Log::path() const {
    return path_();
}

void Log::setClock(TickSource tick, ClockSource now) {
    tick_ = std::move(tick);
    now_ = std::move(now);
}

void Log::write(std::string_view text) const {
    const std::string file = path_();
    if (file.empty())
        return;
    // O_NONBLOCK: a FIFO put in the log's place must not block the program; only a
    // regular file takes entries. O_APPEND and one write() per entry: the entries of
    // several programs writing the log at once (one chipwright-cli per programmer on a
    // production line) stay whole, and none overwrites another's.
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                    0666);
    if (fd < 0)
        return;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    std::string entry = kEntryStart;
    entry += logStamp(now_(), tick_());
    entry += util::utf8ToGbk(text);
    // The lock makes "empty the grown file, then append" one step against the other
    // programs, so an entry just appended by one is never cut by another's emptying.
    // Where the file system has no locks, the entry is still appended whole.
    const bool locked = flock(fd, LOCK_EX) == 0;
    if (locked && fstat(fd, &st) != 0) {
        ::close(fd);
        return;
    }
    if (static_cast<std::uint64_t>(st.st_size) > kLogSizeLimit && ftruncate(fd, 0) != 0) {
        ::close(fd);
        return;
    }
    util::writeAll(fd, entry);
    // Closing the descriptor lets go of the lock.
    ::close(fd);
}

}  // namespace operations
