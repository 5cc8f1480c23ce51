// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/chip_search_dialog.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <algorithm>
#include <array>
#include <functional>

#include "app/messages.h"
#include "catalogue/chip_queries.h"
#include "ui/dialog_units.h"
#include "ui/message_box.h"
#include "util/text_codec.h"

namespace ui {

namespace {

QString message(int key) {
    return QString::fromStdString(app::messageText(key));
}

// Column widths of the result list, in pixels.
constexpr std::array<int, 4> kColumnWidths{100, 80, 80, 80};

// A double click anywhere in the list chooses, also below the last row.
class ResultList final : public QTableWidget {
  public:
    using QTableWidget::QTableWidget;
    std::function<void()> onDoubleClick;

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        QTableWidget::mouseDoubleClickEvent(event);
        if (onDoubleClick)
            onDoubleClick();
    }
};

std::string foldToCapitals(std::string utf8) {
    // Only ASCII letters change; in UTF-8 their bytes never occur inside another character.
    for (char& c : utf8) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return utf8;
}

QTableWidgetItem* centredItem(const std::string& utf8) {
    auto* item = new QTableWidgetItem(QString::fromStdString(utf8));
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

}  // namespace

ChipSearchDialog::ChipSearchDialog(const catalogue::ChipDatabase& database, QWidget* parent)
    : QDialog(parent), database_(database) {
    setWindowTitle(message(app::MsgSearchTitle));
    setFixedSize(pixels(337), pixels(243));

    auto* nameLabel = new QLabel(message(app::MsgSearchChipName), this);
    nameLabel->setGeometry(unitRect(7, 9, 47, 8));

    pattern_ = new QLineEdit(this);
    pattern_->setObjectName(QStringLiteral("pattern"));
    pattern_->setGeometry(unitRect(57, 7, 125, 12));
    pattern_->setMaxLength(kPatternMaxLength);

    count_ = new QLabel(this);
    count_->setObjectName(QStringLiteral("count"));
    count_->setGeometry(unitRect(193, 7, 112, 12));

    auto* hint = new QLabel(message(app::MsgSearchHint), this);
    hint->setGeometry(unitRect(14, 25, 304, 8));

    auto* list = new ResultList(this);
    list->onDoubleClick = [this] { choose(); };
    results_ = list;
    results_->setObjectName(QStringLiteral("results"));
    results_->setGeometry(unitRect(14, 40, 256, 190));
    results_->setColumnCount(static_cast<int>(kColumnWidths.size()));
    results_->setHorizontalHeaderLabels(
        {message(app::MsgColumnChipName), message(app::MsgColumnCapacity),
         message(app::MsgColumnManufacturer), message(app::MsgColumnType)});
    for (int column = 0; column < results_->columnCount(); ++column)
        results_->setColumnWidth(column, kColumnWidths[static_cast<std::size_t>(column)]);
    results_->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    results_->horizontalHeader()->setStretchLastSection(false);
    results_->verticalHeader()->hide();
    // Rows as tight as a report view's: one line of text and a little air.
    results_->verticalHeader()->setMinimumSectionSize(1);
    results_->verticalHeader()->setDefaultSectionSize(results_->fontMetrics().height() + 4);
    results_->setShowGrid(true);
    results_->setSelectionBehavior(QAbstractItemView::SelectRows);
    results_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    results_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    results_->setWordWrap(false);

    // Enter has its own meaning in this dialog (see keyPressEvent), so no button is the
    // default one.
    select_ = new QPushButton(message(app::MsgSearchSelect), this);
    select_->setObjectName(QStringLiteral("select"));
    select_->setGeometry(unitRect(281, 60, 49, 14));
    select_->setAutoDefault(false);
    cancel_ = new QPushButton(message(app::MsgSearchCancel), this);
    cancel_->setObjectName(QStringLiteral("cancel"));
    cancel_->setGeometry(unitRect(281, 90, 49, 14));
    cancel_->setAutoDefault(false);

    connect(pattern_, &QLineEdit::textChanged, this, &ChipSearchDialog::search);
    connect(select_, &QPushButton::clicked, this, &ChipSearchDialog::choose);
    connect(cancel_, &QPushButton::clicked, this, &ChipSearchDialog::reject);

    // The dialog opens listing every chip.
    search(QString());
}

void ChipSearchDialog::search(const QString& pattern) {
    const std::string gbk = util::utf8ToGbk(foldToCapitals(pattern.toStdString()));
    const catalogue::PatternMatches matches =
        catalogue::searchByPattern(database_, gbk, catalogue::AnyType);

    count_->setText(message(app::MsgFindPrefix) + QString::number(matches.total) +
                    message(app::MsgFindSuffix));

    // The last match found stands first.
    const int rows = static_cast<int>(matches.chips.size());
    results_->setUpdatesEnabled(false);
    results_->clearContents();
    results_->setRowCount(rows);
    rowNames_.assign(matches.chips.size(), std::string());
    for (int i = 0; i < rows; ++i) {
        const catalogue::ChipRecord& chip = matches.chips[static_cast<std::size_t>(i)];
        const int row = rows - 1 - i;
        results_->setItem(row, 0, centredItem(chip.nameText()));
        results_->setItem(row, 1, centredItem(catalogue::capacityText(chip)));
        results_->setItem(row, 2, centredItem(chip.manufacturerText()));
        results_->setItem(row, 3, centredItem(catalogue::typeText(chip.type)));
        rowNames_[static_cast<std::size_t>(row)] = std::string(chip.nameBytes());
    }
    results_->setUpdatesEnabled(true);
}

void ChipSearchDialog::choose() {
    chosenName_.clear();
    const QModelIndexList selected = results_->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        showMessageBox(this, app::messageText(app::MsgPleaseSelectChip));
        return;
    }
    int top = selected.front().row();
    for (const QModelIndex& index : selected)
        top = std::min(top, index.row());
    chosenName_ = rowNames_[static_cast<std::size_t>(top)];
    accept();
}

void ChipSearchDialog::reject() {
    chosenName_.clear();
    QDialog::reject();
}

void ChipSearchDialog::keyPressEvent(QKeyEvent* event) {
    // Enter ends the dialog as confirmed without a choice, unless a button has the focus,
    // which it then presses.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            chosenName_.clear();
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace ui
