// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The file of write, verify and auto, loaded into the buffer and held against the
// selected chip before the chip is touched: a file longer than the chip is refused, a
// shorter one too unless --pad fills it up (verify then compares only the file's
// bytes), Intel HEX content under a name that would load it as binary is refused, and
// where an Intel HEX file's data landed is said.

#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/run.h"
#include "cli/terminal_frontend.h"
#include "operations/checks.h"
#include "operations/workbench.h"

namespace cli {

// Loads the file: kExitDone, kExitUsage (refused) or kExitFailed (it cannot be read).
// `length` gets how many of the buffer's bytes are the file's (at most the chip's; the
// rest is 0xFF, which --pad writes and compares too).
int loadChipFile(const Options& options, operations::Workbench& bench, TerminalFrontend& ui,
                 std::uint32_t& length);

// A line job's image: the file loaded as write loads it (binary, or Intel HEX placed by
// its load base), its data only, at most `capacity` bytes. kExitDone (with `said` where
// Intel HEX data landed, if they moved), kExitUsage (refused) or kExitFailed, with
// `said` why.
int loadJobImage(const std::string& path, std::uint32_t capacity, std::vector<unsigned char>& image,
                 std::string* said);

// verify of a file shorter than the chip: reads the chip and compares the file's
// `length` bytes only. Every difference goes into `differences`; without `all` the
// first is also shown.
operations::Outcome verifyFilePart(operations::Workbench& bench, TerminalFrontend& ui,
                                   std::uint32_t length, bool all,
                                   operations::Differences& differences);

}  // namespace cli
