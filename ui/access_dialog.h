// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// AccessDialog: whether this user can open each programmer on the bus and, when not,
// why and the command that fixes it (the diagnosis of link/libusb/access_diagnosis.h,
// which the terminal's doctor prints too). Copy command puts the chosen programmer's fix
// on the clipboard, to paste into a terminal. A window over the simulated programmer says
// first that it needs none of this.

#include <QDialog>
#include <string>
#include <vector>

#include "link/libusb/access_diagnosis.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace ui {

class AccessDialog : public QDialog {
    Q_OBJECT

  public:
    // `simulated`: the window runs the simulated programmer, which needs no USB access.
    explicit AccessDialog(const usblink::AccessExamination& found, bool simulated = false,
                          QWidget* parent = nullptr);

    // For tests: what the user sees and clicks.
    QTableWidget* table() const { return table_; }
    QString summary() const;
    QPushButton* copyButton() const { return copy_; }

  private:
    void addRow(const usblink::AccessFinding& finding);
    void copyFix();

    QLabel* summary_ = nullptr;
    QTableWidget* table_ = nullptr;
    QPushButton* copy_ = nullptr;
    std::vector<std::string> fixes_;  // by row
};

// Looks at the bus now and shows what it found; the programmer at `heldPath`, which the
// window's own link holds open, is shown as open in this window.
void showProgrammerAccess(QWidget* parent, const std::string& heldPath, bool simulated);

}  // namespace ui
