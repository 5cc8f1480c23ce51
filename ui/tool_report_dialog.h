// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// ToolReportDialog: what one of the Tools menu's checks found, in one window: lines of
// findings (totals, a diagnosis, checksums) above an optional table of rows (address
// ranges, or chips). Double-clicking a row, or Select where it is offered, reports the
// row to the caller, which shows the range in the buffer or picks the chip. Save
// report... writes the table as CSV where it is offered.

#include <QDialog>
#include <QStringList>
#include <functional>
#include <string>

class QLabel;
class QPushButton;
class QTableWidget;

namespace ui {

class ToolReportDialog : public QDialog {
    Q_OBJECT

  public:
    ToolReportDialog(const QString& title, QWidget* parent = nullptr);

    void addLine(const QString& text);
    // The table's headings; the table shows only once it has them.
    void setColumns(const QStringList& headings);
    void addRow(const QStringList& cells);
    // Offers Save report...; `csvName` is the file name the save dialog proposes.
    void offerSaveReport(const QString& csvName);
    // Offers Select, which reports the current row and closes the dialog.
    void offerSelect();
    // Called with the row double-clicked or selected.
    void onRowChosen(std::function<void(int)> chosen) { chosen_ = std::move(chosen); }

    // The table as CSV, headings first; false (nothing written) when the file is not.
    bool saveReport(const std::string& path) const;

    // For tests: what the user sees and clicks.
    QString findings() const;
    QTableWidget* table() const { return table_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* selectButton() const { return select_; }

  private:
    void chooseRow(int row);
    void saveWithDialog();

    QLabel* findings_ = nullptr;
    QTableWidget* table_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* select_ = nullptr;
    QString csvName_;
    std::function<void(int)> chosen_;
};

}  // namespace ui
