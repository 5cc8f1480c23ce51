// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A station of a production line (--line URL --job JOB): the job's chip, image and serial
// numbering come from the line store; each chip gets its serial number from the store
// before it is programmed, and its attempt is recorded there after.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cli/line_journal.h"
#include "cli/options.h"
#include "cli/run.h"
#include "line/store.h"

namespace cli {

class LineStation {
  public:
    LineStation(std::unique_ptr<line::Store> store, std::string url, line::Job job,
                std::string name, std::string place, LineJournal journal);

    const line::Job& job() const { return job_; }
    const std::string& name() const { return name_; }
    // Before the first chip: the journal sent, then what this station held when it
    // last stopped given back. False with `why` (no chip may be programmed) while an
    // entry for this store stays in the journal, or the store cannot be reached.
    bool begin(std::FILE* err, std::string* why);
    // The next chip's serial number, or nothing with `why` the run stops: the job is
    // complete (`complete` set) or closed, or the store cannot be reached (no chip is
    // then programmed). While the numbers still to pass are all held by chips at other
    // stations, it waits: one of them may fail and give its number back.
    std::optional<std::uint64_t> reserve(std::string* why, bool* complete);
    // Whether another chip is wanted at all, asked before the operator is asked for
    // one: false with `why` (and `complete`) once the job is complete, closed or out of
    // numbers. A verify station asks only whether the job is still open.
    bool wantsAnotherChip(bool verifying, std::string* why, bool* complete);
    // The chip's attempt, and its number used or given back; false with `why`. An
    // attempt the store does not take goes to the journal, its number left held.
    bool record(line::Attempt attempt, std::optional<std::uint64_t> held, std::string* why);

  private:
    std::unique_ptr<line::Store> store_;
    std::string url_;  // as the journal keeps it
    line::Job job_;
    std::string name_;
    std::string place_;
    LineJournal journal_;
    std::FILE* err_ = stderr;  // where the station's own notes go, from begin()
};

// A station's run: the job loaded, the command run chip after chip on its image.
int runStation(const Options& options, const Streams& streams);

}  // namespace cli
