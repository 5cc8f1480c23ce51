// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The log file: every command records its steps in a plain text file, one time-stamped
// entry each.
//
// An entry is CR LF, the local date and time as "2010/03/30/ 14:05:09", a dot, the
// millisecond tick count modulo 1000 in three digits, ": ", and the text; so the file
// starts with an empty line and never ends with a line break. Texts are UTF-8 inside the
// program and GBK on disk. The file is opened and closed for every entry, so it is
// complete on disk after each step even if the program ends abruptly; a file that has
// grown beyond kLogSizeLimit is emptied before the next entry. Several programs may write
// one log at once (the window and a chipwright-cli per programmer): each entry is
// appended whole, under a file lock, so entries never interleave. Nothing is ever reported:
// an entry that cannot be written is dropped, and the command goes on.

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace operations {

// A file larger than this is emptied before the next entry.
constexpr std::uint64_t kLogSizeLimit = 0xA00000;

class Log {
  public:
    // Where the log goes: asked at every entry, because a language switch may name
    // another file.
    using PathSource = std::function<std::string()>;
    using TickSource = std::function<std::uint64_t()>;
    using ClockSource = std::function<std::time_t()>;

    // The log file of the current language (message 88) by default.
    explicit Log(PathSource path = {});

    void write(std::string_view text) const;

    std::string path() const;
    // For tests: a tick count and a clock of their own.
    void setClock(TickSource tick, ClockSource now);

  private:
    PathSource path_;
    TickSource tick_;
    ClockSource now_;
};

// "2010/03/30/ 14:05:09.007: " for that local time and a tick count ending in 007.
std::string logStamp(std::time_t now, std::uint64_t tickMs);

}  // namespace operations
