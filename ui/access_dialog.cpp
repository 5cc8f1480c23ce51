// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/access_dialog.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/tool_messages.h"

namespace ui {
namespace {

QString text(app::ToolText key) {
    return QString::fromStdString(app::toolText(key));
}

QString qt(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// That the window needs none of it when it runs the simulated programmer, the udev rule,
// and why no programmer is listed when none is.
QString summaryOf(const usblink::AccessExamination& found, bool simulated) {
    QString lines = simulated ? text(app::TxtAccessSimulated) + QLatin1Char('\n') : QString();
    lines += found.rule.empty() ? text(app::TxtNoUdevRule)
                                : text(app::TxtUdevRuleIs).arg(qt(found.rule));
    if (!found.none.empty())
        lines += QLatin1Char('\n') + qt(found.none);
    return lines;
}

QString nodeOf(const usblink::AccessFinding& f) {
    return qt(f.node.empty() ? f.place : f.node);
}

// The window's wording with what the diagnosis found put in, in one pass.
QString filled(const QString& words, const std::string& problem, const usblink::AccessFinding& f) {
    if (problem == "no-group-access")
        return words.arg(nodeOf(f), qt(f.mode), qt(f.group), qt(f.user));
    if (problem == "plugged-in-before-rule")
        return words.arg(qt(f.rule), nodeOf(f), qt(f.mode));
    if (problem == "access-denied")
        return words.arg(qt(f.rule), nodeOf(f));
    if (problem == "kernel-driver" || problem == "driver-bound")
        return words.arg(qt(f.kernelDriver));
    return words;
}

// Why the programmer cannot be opened, in the window's language; the backend's own
// message where there are no other words for it.
QString whyNot(const usblink::AccessFinding& f) {
    if (f.heldByCaller)
        return text(app::TxtOpenInThisWindow);
    const std::string problem =
        f.openable && !f.kernelDriver.empty() ? std::string("driver-bound") : f.problem;
    const app::CauseText words = app::accessText(problem);
    if (words.explanation.empty())
        return qt(f.explanation);
    QString why = filled(qt(words.explanation), problem, f);
    if (problem == "no-group-access" && !f.rule.empty())
        why += qt(app::accessText("seat-login").explanation).arg(qt(f.rule));
    return why;
}

// The fix: a command as it is, what to do otherwise in the window's language.
QString fixOf(const usblink::AccessFinding& f) {
    if (f.heldByCaller)
        return {};
    const QString words = qt(app::accessText(f.problem).suggestion);
    if (words.isEmpty())
        return qt(f.fix);
    return words.contains(QStringLiteral("%1")) ? words.arg(nodeOf(f)) : words;
}

}  // namespace

AccessDialog::AccessDialog(const usblink::AccessExamination& found, bool simulated, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(text(app::TxtAccessTitle));
    auto* layout = new QVBoxLayout(this);
    summary_ = new QLabel(summaryOf(found, simulated), this);
    summary_->setWordWrap(true);
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(summary_);
    table_ = new QTableWidget(0, 4, this);
    table_->setHorizontalHeaderLabels({text(app::TxtColumnProgrammer), text(app::TxtColumnOpenable),
                                       text(app::TxtColumnWhyNot), text(app::TxtColumnFix)});
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setWordWrap(true);
    table_->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(table_);
    for (const usblink::AccessFinding& finding : found.findings)
        addRow(finding);
    table_->resizeColumnsToContents();
    table_->resizeRowsToContents();

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    copy_ = new QPushButton(text(app::TxtCopyFix), this);
    auto* close = new QPushButton(text(app::TxtClose), this);
    buttons->addWidget(copy_);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(copy_, &QPushButton::clicked, this, [this] { copyFix(); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(table_, &QTableWidget::currentCellChanged, this, [this](int row) {
        copy_->setEnabled(row >= 0 && !fixes_[static_cast<std::size_t>(row)].empty());
    });
    copy_->setEnabled(false);
    // The first programmer that needs a fix is the one chosen at first.
    for (std::size_t row = 0; row < fixes_.size(); ++row) {
        if (!fixes_[row].empty()) {
            table_->setCurrentCell(static_cast<int>(row), 0);
            break;
        }
    }
    resize(900, 320);
}

void AccessDialog::addRow(const usblink::AccessFinding& finding) {
    const int row = table_->rowCount();
    table_->insertRow(row);
    const QString where = finding.node.empty() ? qt(finding.place)
                                               : qt(finding.place) + QStringLiteral(" (") +
                                                     qt(finding.node) + QLatin1Char(')');
    const QString fix = fixOf(finding);
    const QString cells[] = {where, text(finding.openable ? app::TxtYes : app::TxtNo),
                             whyNot(finding), fix};
    for (int column = 0; column < 4; ++column) {
        auto* item = new QTableWidgetItem(cells[column]);
        item->setToolTip(cells[column]);
        table_->setItem(row, column, item);
    }
    fixes_.push_back(fix.toStdString());
}

QString AccessDialog::summary() const {
    return summary_->text();
}

void AccessDialog::copyFix() {
    const int row = table_->currentRow();
    if (row >= 0 && !fixes_[static_cast<std::size_t>(row)].empty())
        QApplication::clipboard()->setText(qt(fixes_[static_cast<std::size_t>(row)]));
}

void showProgrammerAccess(QWidget* parent, const std::string& heldPath, bool simulated) {
    AccessDialog dialog(usblink::examineAccess({}, heldPath), simulated, parent);
    dialog.exec();
}

}  // namespace ui
