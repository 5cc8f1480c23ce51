// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The User Manual command: hands the manual file named in config.ini to the desktop,
// which opens it with the application associated with its type. The desktop's opener
// reports a missing file only after the program has moved on, so the file is checked
// first.

#include <functional>
#include <string>

class QWidget;

namespace ui {

// Asks the desktop to open the manual. When the file is missing (or is no regular file)
// or the desktop refuses, shows the "No manual file!" message box over `parent`; when
// the file is there but the desktop has nothing to open it with, `log` is told so too.
// Returns whether the manual was handed over.
bool openUserManual(QWidget* parent, const std::function<void(const std::string&)>& log = {});

}  // namespace ui
