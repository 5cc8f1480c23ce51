// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A station's journal: the attempts the line store could not take when they were made
// (it went away between a chip's reservation and its record), kept in a file beside
// the log. Every station run on the machine sends the journal before its first chip;
// until an entry is sent, the serial number it holds stays held in the store, so a
// chip that passed never has its number handed out again.

#include <cstdint>
#include <optional>
#include <string>

#include "line/store.h"

namespace cli {

struct JournalEntry {
    std::string url;                    // the line store the attempt belongs in
    std::optional<std::uint64_t> held;  // the chip's serial number, held in that store
    line::Attempt attempt;
};

// What sending the journal came to.
struct JournalSent {
    std::size_t sent = 0;
    std::size_t kept = 0;      // entries whose store could not take them
    std::size_t keptHere = 0;  // of those, entries for the store being sent to
    std::string why;           // the last store's refusal
    // The journal is there but could not be read (`why` says why): what it holds is
    // unknown, so nothing it may hold can be given back.
    bool unreadable = false;
};

class LineJournal {
  public:
    explicit LineJournal(std::string path) : path_(std::move(path)) {}
    // The journal beside the log (the user's state folder for an installed program, the
    // program's folder otherwise); "" when there is no such folder.
    static std::string defaultPath();

    const std::string& path() const { return path_; }
    // Appends the entry and flushes it to disk; false with `why`.
    bool append(const JournalEntry& entry, std::string* why) const;
    // Sends every entry, those for `url` through `store`, the others through stores of
    // their own; sent entries leave the file. Locked against other stations sending it.
    JournalSent send(const std::string& url, line::Store& store) const;

  private:
    std::string path_;
};

// `url` as the journal keeps it: a relative SQLite path made absolute, so the entry
// finds its store from any station's folder.
std::string journalUrl(const std::string& url);

}  // namespace cli
