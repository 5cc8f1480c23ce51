// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The person at the screen, as every command sees them. The operations never call a
// widget or write to a terminal: they show texts, progress and message boxes, ask
// questions and let the front end handle its own events through this class. The Qt
// main window implements it, the terminal front end too, and the tests with a scripted
// fake; no toolkit type appears here.
//
// All texts are UTF-8, taken from the message table in the current language.

#include <optional>
#include <string>
#include <vector>

#include "catalogue/chip_record.h"

namespace operations {

// One choice of a file dialog: "Bin File(*.bin)" matching "*.bin".
struct FileFilter {
    std::string description;
    std::string pattern;
};

struct FileDialog {
    std::vector<FileFilter> filters;  // the first one is preselected
    std::string defaultExtension;     // added when the user types a name without one
    bool confirmOverwrite = false;    // a save dialog asks before replacing a file
};

// The buffer fill dialog's outcome: whether it was closed with OK, and the three
// texts as they stood then (hex digits only: the dialog keeps anything else out).
struct FillRequest {
    bool accepted = false;
    std::string address;
    std::string length;
    std::string data;
};

class Frontend {
  public:
    virtual ~Frontend() = default;

    // The one-line status under the hex view.
    virtual void showStatus(const std::string& text) = 0;
    // The progress bar (0 to 100) and its "%d%%" label.
    virtual void showProgress(int percent) = 0;
    // A modal message box with one OK button; returns when the user has closed it.
    virtual void showMessage(const std::string& text) = 0;
    // A modal question with OK and Cancel; true for OK.
    virtual bool askOkCancel(const std::string& text) = 0;

    // Handles what is pending for the front end (a window's events), never waiting. The
    // commands call it while they wait for the programmer, so the user can choose other
    // commands meanwhile; those meet the busy guard.
    virtual void pumpMessage() = 0;
    // Whether the user asked to stop the running operation (a terminal's Ctrl-C). A
    // window offers no such thing and keeps the default.
    virtual bool cancelRequested() { return false; }
    // A read made several times to compare them says which pass runs now (1-based). The
    // window shows nothing of it and keeps the default.
    virtual void showPass(int /*pass*/, int /*passes*/) {}

    // A file chosen to open or to save; nothing when the user cancelled.
    virtual std::optional<std::string> chooseFileToOpen(const FileDialog& dialog) = 0;
    virtual std::optional<std::string> chooseFileToSave(const FileDialog& dialog) = 0;

    // The buffer fill dialog, opened afresh with its initial texts.
    virtual FillRequest runFillDialog() = 0;

    // The buffer's bytes or marks changed: draw the hex view again.
    virtual void refreshHexView() = 0;
    // A chip was selected (chosen, detected, or the default at start): bind the hex view
    // to the buffer's new data length, fill the chip panel's lists from `chip`, show
    // `capacityText` and enable Chip Erase exactly when `eraseEnabled`.
    virtual void chipSelected(const catalogue::ChipRecord& chip, const std::string& capacityText,
                              bool eraseEnabled) = 0;
    // The caption is message 83 followed by this suffix.
    virtual void setCaptionSuffix(const std::string& suffix) = 0;
};

}  // namespace operations
