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

namespace ui {

class MainWindow;

// What can be pictured: the main window, the chip search dialog (searching "W25Q"),
// the buffer fill dialog and the About dialog.
constexpr const char* kScreenshotSubjects = "main, search, fill, about";

// Saves each (subject, PNG file) pair, in the current language, from the started and
// shown window. False when a subject is unknown or a file could not be written.
bool takeScreenshots(MainWindow& window, const operations::Workbench& bench,
                     const std::vector<std::pair<std::string, std::string>>& shots);

}  // namespace ui
