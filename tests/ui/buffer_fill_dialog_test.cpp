// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/buffer_fill_dialog.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/ui/ui_test_support.h"

using ui::BufferFillDialog;

namespace {

class BufferFillDialogTest : public testsupport::UiTest {
  protected:
    void SetUp() override { loadConfig("[Run]\nDefaultLanguage=English\n"); }

    static QLineEdit* field(const BufferFillDialog& dialog, const char* name) {
        return dialog.findChild<QLineEdit*>(QLatin1String(name));
    }
};

TEST_F(BufferFillDialogTest, FilterPutsTheLastGoodTextBackWithTheCaretBeforeTheBadCharacter) {
    for (int opening = 0; opening < 2; ++opening) {
        BufferFillDialog dialog;
        dialog.show();
        QLineEdit* address = field(dialog, "address");
        QLineEdit* length = field(dialog, "length");
        QLineEdit* data = field(dialog, "data");
        // Every opening starts from the initial texts, whatever was typed before.
        EXPECT_EQ(address->text(), QStringLiteral("000000"));
        EXPECT_EQ(length->text(), QStringLiteral("1"));
        EXPECT_EQ(data->text(), QStringLiteral("00"));
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Buffer Fill"));

        address->selectAll();
        QTest::keyClicks(address, QStringLiteral("12G"));
        EXPECT_EQ(address->text(), QStringLiteral("12"));
        EXPECT_EQ(address->cursorPosition(), 2);

        // A bad character typed in the middle leaves the caret where it went in.
        address->setCursorPosition(1);
        QTest::keyClicks(address, QStringLiteral("x"));
        EXPECT_EQ(address->text(), QStringLiteral("12"));
        EXPECT_EQ(address->cursorPosition(), 1);

        QTest::keyClicks(length, QStringLiteral("fFfFfFf"));
        EXPECT_EQ(length->text(), QStringLiteral("1fFfFf"));
        data->selectAll();
        QTest::keyClicks(data, QStringLiteral("5A7"));
        EXPECT_EQ(data->text(), QStringLiteral("5A"));
    }
}

TEST_F(BufferFillDialogTest, TypingAsItOpensReplacesTheAddress) {
    BufferFillDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("1F"));
    EXPECT_EQ(field(dialog, "address")->text(), QStringLiteral("1F"));
}

TEST_F(BufferFillDialogTest, OkIsTheDefaultAndGivesTheTextsCancelAndEscapeDoNot) {
    BufferFillDialog filled;
    filled.show();
    field(filled, "address")->selectAll();
    QTest::keyClicks(field(filled, "address"), QStringLiteral("100"));
    QTest::keyClick(field(filled, "length"), Qt::Key_Return);
    const operations::FillRequest request = filled.request();
    EXPECT_TRUE(request.accepted);
    EXPECT_EQ(request.address, "100");
    EXPECT_EQ(request.length, "1");
    EXPECT_EQ(request.data, "00");

    BufferFillDialog escaped;
    escaped.show();
    QTest::keyClick(&escaped, Qt::Key_Escape);
    EXPECT_FALSE(escaped.isVisible());
    EXPECT_FALSE(escaped.request().accepted);

    BufferFillDialog cancelled;
    cancelled.show();
    cancelled.findChild<QPushButton*>(QStringLiteral("cancel"))->click();
    EXPECT_FALSE(cancelled.request().accepted);
}

}  // namespace
