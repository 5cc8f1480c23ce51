// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// ChipSearchDialog: finds chips by a '*' wildcard pattern typed into a field. It searches
// the whole database on every change of the pattern, counts every match, lists at most
// kSearchResultCapacity of them (the last matching record first) with capacity,
// manufacturer and type, and gives back the name of the chip the user picks.
//
// The pattern is folded to capitals on its UTF-8 text and only then converted to the
// database's GBK bytes: folding GBK bytes would change trail bytes that happen to lie in
// the range of the Latin letters.

#include <QDialog>
#include <string>
#include <vector>

#include "catalogue/chip_database.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace ui {

class ChipSearchDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kPatternMaxLength = 20;

    ChipSearchDialog(const catalogue::ChipDatabase& database, QWidget* parent = nullptr);

    // The stored (GBK) name of the chip picked; empty when the dialog was cancelled,
    // closed with Enter without a choice, or is still open.
    std::string chosenName() const { return chosenName_; }

    void reject() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void search(const QString& pattern);
    void choose();

    const catalogue::ChipDatabase& database_;
    QLineEdit* pattern_;
    QLabel* count_;
    QTableWidget* results_;
    QPushButton* select_;
    QPushButton* cancel_;
    // The stored name of each listed row, top row first.
    std::vector<std::string> rowNames_;
    std::string chosenName_;
};

}  // namespace ui
