// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/chip_search_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <cstdio>
#include <memory>

#include "tests/support/chip_test_support.h"
#include "tests/ui/ui_test_support.h"

using testsupport::closingMessageBoxes;
using ui::ChipSearchDialog;

namespace {

constexpr int kChipCount = 1030;  // more than the list holds
constexpr int kRecord3 = 2;
constexpr int kRecord9 = 8;

class ChipSearchDialogTest : public testsupport::UiTest {
  protected:
    void SetUp() override {
        loadConfig("[Run]\nDefaultLanguage=English\n");
        database = std::make_unique<catalogue::ChipDatabase>();
        for (int i = 0; i < kChipCount; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "MX%04d", i);
            database->records[static_cast<std::size_t>(i)] = testsupport::chip(name, "MXIC");
        }
        // "檢" is 99 7A in GBK: its trail byte is a lower-case 'z' to anyone who folds bytes.
        database->records[kRecord3] =
            testsupport::chip(util::utf8ToGbk("EN25檢80"), "EON", catalogue::SpiFlash, 0x100000);
        database->records[kRecord9] =
            testsupport::chip("EN25Q80", util::utf8ToGbk("宜扬"), catalogue::Eeprom25, 0x800);
        database->header[0] = kChipCount & 0xFF;
        database->header[1] = kChipCount >> 8;
        dialog = std::make_unique<ChipSearchDialog>(*database);
        dialog->show();
        pattern = dialog->findChild<QLineEdit*>(QStringLiteral("pattern"));
        count = dialog->findChild<QLabel*>(QStringLiteral("count"));
        results = dialog->findChild<QTableWidget*>(QStringLiteral("results"));
        ASSERT_TRUE(pattern && count && results);
    }

    QString cell(int row, int column) const { return results->item(row, column)->text(); }

    // Selects the row as a click of the user does.
    void clickRow(int row) {
        const QRect rect = results->visualRect(results->model()->index(row, 0));
        QTest::mouseClick(results->viewport(), Qt::LeftButton, {}, rect.center());
    }

    std::unique_ptr<catalogue::ChipDatabase> database;
    std::unique_ptr<ChipSearchDialog> dialog;
    QLineEdit* pattern = nullptr;
    QLabel* count = nullptr;
    QTableWidget* results = nullptr;
};

TEST_F(ChipSearchDialogTest, OpensCountingEveryChipAndListingAtMostTheListCapacity) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Search chip..."));
    EXPECT_EQ(count->text(), QStringLiteral("Find 1030 Chips!"));
    ASSERT_EQ(results->rowCount(), 1024);
    // The first 1024 records are stored; the last of them stands first.
    EXPECT_EQ(cell(0, 0), QStringLiteral("MX1023"));
    EXPECT_EQ(cell(1023, 0), QStringLiteral("MX0000"));
}

TEST_F(ChipSearchDialogTest, SearchesOnEveryChangeFoldedToCapitalsLastMatchFirst) {
    QTest::keyClicks(pattern, QStringLiteral("en25*80"));
    EXPECT_EQ(count->text(), QStringLiteral("Find 2 Chips!"));
    ASSERT_EQ(results->rowCount(), 2);
    EXPECT_EQ(cell(0, 0), QStringLiteral("EN25Q80"));
    EXPECT_EQ(cell(0, 1), QStringLiteral("2KB"));
    EXPECT_EQ(cell(0, 2), QString::fromUtf8("宜扬"));
    EXPECT_EQ(cell(0, 3), QStringLiteral("25 EEPROM"));
    EXPECT_EQ(cell(1, 0), QString::fromUtf8("EN25檢80"));
    EXPECT_EQ(results->item(1, 2)->textAlignment(), int(Qt::AlignCenter));

    // Folding works on the typed characters, never on the GBK bytes they become.
    pattern->setText(QString::fromUtf8("n25檢"));
    EXPECT_EQ(count->text(), QStringLiteral("Find 1 Chips!"));

    pattern->clear();
    EXPECT_EQ(count->text(), QStringLiteral("Find 1030 Chips!"));
    QTest::keyClicks(pattern, QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXY"));
    EXPECT_EQ(pattern->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRST"));
    EXPECT_EQ(count->text(), QStringLiteral("Find 0 Chips!"));
    EXPECT_EQ(results->rowCount(), 0);
}

TEST_F(ChipSearchDialogTest, ChoosingNeedsASelectedRowAndGivesItsStoredName) {
    auto* select = dialog->findChild<QPushButton*>(QStringLiteral("select"));
    QTest::keyClicks(pattern, QStringLiteral("EN25*80"));

    const auto boxes = closingMessageBoxes([&] { select->click(); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, QStringLiteral("chipwright"));
    EXPECT_EQ(boxes[0].text, QStringLiteral("Please select a chip!"));
    EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
    EXPECT_EQ(boxes[0].buttons, 1);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->chosenName(), "");

    clickRow(1);
    select->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->chosenName(), util::utf8ToGbk("EN25檢80"));

    // A double click chooses too.
    dialog->show();
    const QRect row0 = results->visualRect(results->model()->index(0, 0));
    QTest::mouseDClick(results->viewport(), Qt::LeftButton, {}, row0.center());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->chosenName(), "EN25Q80");
}

TEST_F(ChipSearchDialogTest, EnterConfirmsWithoutAChoiceAndEscapeCancels) {
    clickRow(0);
    pattern->setFocus();
    QTest::keyClick(pattern, Qt::Key_Return);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->chosenName(), "");

    dialog->show();
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

}  // namespace
