// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Pictures of the window and its dialogs for the user manual, taken from the running
// program (the internal option --screenshot WHAT=FILE; scripts/screenshots.sh).

#include <string>
#include <utility>
#include <vector>

namespace operations {
struct Workbench;
}
namespace sim {
class SimProgrammer;
}

namespace ui {

class MainWindow;

// What can be pictured: the main window, the chip search dialog (searching "W25Q"),
// the buffer fill dialog, the About dialog, and, over the simulated programmer, the
// report of Verify, All Differences on a chip that differs from the buffer in three
// ranges (run to the end: the chip keeps that data afterwards).
constexpr const char* kScreenshotSubjects = "main, search, fill, about, verify (simulated)";

// Saves each (subject, PNG file) pair, in the current language, from the started and
// shown window; `simulated` is the simulated programmer behind it, or null. False when a
// subject is unknown or cannot be pictured, or a file could not be written.
bool takeScreenshots(MainWindow& window, const operations::Workbench& bench,
                     sim::SimProgrammer* simulated,
                     const std::vector<std::pair<std::string, std::string>>& shots);

}  // namespace ui
