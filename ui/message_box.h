// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's message boxes: every one carries the program's name as its title, the
// warning icon and a single OK button, whatever it says; the firmware update's question
// alone has OK and Cancel.

#include <string>

class QWidget;

namespace ui {

// The title of every message box: the program's file name.
constexpr const char* kMessageBoxTitle = "chipwright";

// Shows `text` (UTF-8) modally over `parent` and returns once the user has closed it.
void showMessageBox(QWidget* parent, const std::string& text);

// The one question the program asks, with OK and Cancel: true for OK.
bool askOkCancelBox(QWidget* parent, const std::string& text);

}  // namespace ui
