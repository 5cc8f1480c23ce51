// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The bench checks of chipwright-cli around a run's command: the backup before write,
// erase and auto (--backup), the commands of their own (blank-check, write --offset),
// and the diagnosis after them (--diagnose, and what a read or detect shows anyway).
// The work is done by operations/bench_checks.h; this turns the options into those
// calls and their results into the report.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/run.h"
#include "cli/terminal_frontend.h"
#include "operations/bench_checks.h"

namespace cli {

// What is wrong with the bench options for the command; empty when nothing.
std::string benchUsageError(const Options& options);

class BenchSteps {
  public:
    BenchSteps(const Options& options, TerminalFrontend& ui, Report& report)
        : o_(options), ui_(ui), report_(report) {}

    // write --offset: reads the patch file and checks that it fits the selected chip,
    // before anything touches the chip. kExitDone, kExitUsage (it does not fit) or
    // kExitFailed (it cannot be read).
    int loadPatch(const operations::Workbench& bench);
    // Runs blank-check and write --offset, and the backup before write, erase and auto:
    // their outcome, or nothing when the command itself is still to run.
    std::optional<operations::Outcome> before(operations::Workbench& bench);
    // After the command: the diagnosis its outcome calls for, the erase check; the
    // outcome the run ends with.
    operations::Outcome after(operations::Workbench& bench, operations::Outcome outcome);
    // Detect: IDs FF FF or 00 00 from an SPI flash mean no chip.
    void afterDetect(const operations::Workbench& bench,
                     const std::optional<operations::ChipIds>& ids);

    // Whether this chip's command was followed by a check that talked to the programmer:
    // a Ctrl-C then stopped the check, not the command.
    bool checked() const { return checked_; }

  private:
    operations::Outcome check(operations::Workbench& bench, operations::Outcome outcome);
    // write --offset: the chip saved in a rescue file, then patched.
    operations::Outcome patch(operations::Workbench& bench);
    void noteCause(operations::Cause cause);

    const Options& o_;
    TerminalFrontend& ui_;
    Report& report_;
    std::vector<unsigned char> patch_;
    // The chip as read before the command changed it (--backup, write --offset).
    std::vector<unsigned char> before_;
    // Once a patch may have changed the chip: the rescue file and the command that
    // writes it back.
    std::string rescue_;
    // A check after the command talked to the programmer.
    bool checked_ = false;
};

// Names the cause on stderr ("diagnosis: CODE: ...", and what to do) and in the report.
void noteCause(TerminalFrontend& ui, Report& report, operations::Cause cause);

// The bench results' lines on stdout (backup file, blank check).
void printBenchReport(std::FILE* out, const Report& report);

}  // namespace cli
