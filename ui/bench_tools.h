// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Tools menu's checks: each runs its operation (operations/checks.h and
// operations/bench_checks.h) in the window, which is its Frontend, and then shows what it
// found in a ToolReportDialog. A check the operation refused or that failed on the way
// (busy, no programmer, a failed read) has said why in the operation's own box and log
// and shows no dialog.

#include "operations/workbench.h"

namespace ui {

class MainWindow;

// How many difference ranges the verify's dialog lists; its totals count them all.
constexpr std::size_t kListedRangesInWindow = 1000;

// Reads the whole chip, compares all of it with the buffer, and lists every difference,
// the likely cause and the checksums of both.
void verifyAllDifferences(operations::Workbench& bench, MainWindow& window);
// Reads the chip twice; the buffer takes the read only when both agree.
void readTwiceAndCompare(operations::Workbench& bench, MainWindow& window);
// Reads the chip and says whether every byte is FF.
void blankCheck(operations::Workbench& bench, MainWindow& window);
// Reads the chip's IDs and lists the database's chips that carry them.
void identifyChip(operations::Workbench& bench, MainWindow& window);

// With the Tools menu's backup turned on, reads the chip and saves it as a new file in
// the backup folder before a command that `changesChip` runs. False, after a box that
// says so, when the backup failed: the command must not run, and the chip is as it was.
bool backedUpIfAsked(operations::Workbench& bench, MainWindow& window, bool changesChip);

}  // namespace ui
