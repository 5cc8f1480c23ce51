// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The chip in the socket held against the selected chip before a command touches it.
// An SPI flash answers two ID bytes; they tell an empty socket (FF FF, 00 00) and
// another chip than the selected one (a 16 MB chip under the default 1 MB one) from
// the chip whose parameters the command runs with. The same IDs choose the chip for
// `-c auto`, are listed by detect, and see each chip of a --repeat --next-on-id run.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/chip_database.h"
#include "cli/options.h"
#include "cli/run.h"
#include "cli/terminal_frontend.h"
#include "operations/bench_checks.h"
#include "operations/workbench.h"

namespace cli {

// Why a run stops before its command: the outcome of the ID read (Done when the chip
// answered), the exit status and the report's result.
struct Refusal {
    operations::Outcome outcome = operations::Outcome::Done;
    int status = kExitFailed;
    std::string result;
};

// read, write, verify, erase, auto and blank-check: the commands that read or change
// the chip, and so are run only on the chip they were given.
bool touchesChip(const std::string& command);

// Every record of the database that carries the IDs, in the table's order.
std::vector<catalogue::ChipRecord> chipsWithIds(const catalogue::ChipDatabase& db,
                                                operations::ChipIds ids);
// "EF 14".
std::string idText(operations::ChipIds ids);
// Whether the chip's IDs tell it from an empty socket and so can be checked: an SPI
// flash whose table IDs are not FF FF (answers none) or 00 00.
bool answersIds(const catalogue::ChipRecord& chip);
// The IDs and every record that carries them, for the report.
SocketAnswer socketAnswer(const catalogue::ChipDatabase& db, operations::ChipIds ids);
// "the chip in the socket is W25Q16JV, W25Q16JV-IM (IDs EF 14), not W25Q80DV (IDs EF 13)"
std::string wrongChipText(const catalogue::ChipDatabase& db, const catalogue::ChipRecord& selected,
                          operations::ChipIds ids);

// read, write, verify, erase, auto and blank-check: reads the IDs and refuses a socket
// without a chip or with another chip than the selected one, before anything else
// touches it. Nothing when the command may go on (also when the chip cannot be checked,
// or --force says not to, which is said).
std::optional<Refusal> checkSocket(const Options& options, operations::Workbench& bench,
                                   TerminalFrontend& ui, Report& report);

// -c auto: selects the chip whose IDs the chip in the socket answers. Refused when none
// answers, no record carries the IDs, or records that carry them differ in capacity or
// page size (they are listed; -c must choose).
std::optional<Refusal> chooseChipByIds(operations::Workbench& bench, TerminalFrontend& ui,
                                       Report& report);

// detect: the IDs and every record that carries them, on `out` (the report's chips).
void listDetected(std::FILE* out, bool json, const catalogue::ChipDatabase& db,
                  const std::optional<operations::ChipIds>& ids, Report& report);

}  // namespace cli
