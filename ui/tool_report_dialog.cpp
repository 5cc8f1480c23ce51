// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/tool_report_dialog.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/tool_messages.h"
#include "ui/message_box.h"
#include "util/safe_file.h"

namespace ui {
namespace {

QString qt(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
QString csvField(QString text) {
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n'))
        return text;
    return u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

}  // namespace

ToolReportDialog::ToolReportDialog(const QString& title, QWidget* parent) : QDialog(parent) {
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    findings_ = new QLabel(this);
    findings_->setWordWrap(true);
    findings_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(findings_);
    table_ = new QTableWidget(this);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->hide();
    layout->addWidget(table_);
    auto* buttons = new QHBoxLayout;
    save_ = new QPushButton(qt(app::toolText(app::TxtSaveReport)), this);
    select_ = new QPushButton(qt(app::toolText(app::TxtSelect)), this);
    auto* close = new QPushButton(qt(app::toolText(app::TxtClose)), this);
    save_->hide();
    select_->hide();
    buttons->addStretch();
    buttons->addWidget(save_);
    buttons->addWidget(select_);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row) { chooseRow(row); });
    connect(select_, &QPushButton::clicked, this, [this] { chooseRow(table_->currentRow()); });
    connect(save_, &QPushButton::clicked, this, [this] { saveWithDialog(); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    resize(560, 420);
}

void ToolReportDialog::addLine(const QString& text) {
    const QString shown = findings_->text();
    findings_->setText(shown.isEmpty() ? text : shown + u'\n' + text);
}

void ToolReportDialog::setColumns(const QStringList& headings) {
    table_->setColumnCount(static_cast<int>(headings.size()));
    table_->setHorizontalHeaderLabels(headings);
    table_->show();
}

void ToolReportDialog::addRow(const QStringList& cells) {
    const int row = table_->rowCount();
    table_->insertRow(row);
    for (int column = 0; column < cells.size() && column < table_->columnCount(); ++column)
        table_->setItem(row, column, new QTableWidgetItem(cells[column]));
    if (row == 0)
        table_->setCurrentCell(0, 0);
}

void ToolReportDialog::offerSaveReport(const QString& csvName) {
    csvName_ = csvName;
    save_->show();
}

void ToolReportDialog::offerSelect() {
    select_->show();
    select_->setDefault(true);
}

QString ToolReportDialog::findings() const {
    return findings_->text();
}

void ToolReportDialog::chooseRow(int row) {
    if (row < 0 || row >= table_->rowCount() || !chosen_)
        return;
    chosen_(row);
    if (select_->isVisible())
        accept();
}

bool ToolReportDialog::saveReport(const std::string& path) const {
    QStringList lines;
    QStringList fields;
    for (int column = 0; column < table_->columnCount(); ++column)
        fields << csvField(table_->horizontalHeaderItem(column)->text());
    lines << fields.join(u',');
    for (int row = 0; row < table_->rowCount(); ++row) {
        fields.clear();
        for (int column = 0; column < table_->columnCount(); ++column)
            fields << csvField(table_->item(row, column) ? table_->item(row, column)->text()
                                                         : QString());
        lines << fields.join(u',');
    }
    const std::string csv = (lines.join(u'\n') + u'\n').toStdString();
    return util::replaceFileSafely(path, csv);
}

void ToolReportDialog::saveWithDialog() {
    const QString path =
        QFileDialog::getSaveFileName(this, save_->text(), csvName_, QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty())
        return;
    if (!saveReport(path.toStdString())) {
        const std::string text = app::toolText(app::TxtReportSaveFailed);
        showMessageBox(this, QString::fromStdString(text).arg(path).toStdString());
    }
}

}  // namespace ui
