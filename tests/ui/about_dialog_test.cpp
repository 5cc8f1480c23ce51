// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/about_dialog.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include "tests/ui/ui_test_support.h"
#include "ui/artwork.h"
#include "ui/user_manual.h"

using testsupport::closingMessageBoxes;
using ui::AboutDialog;

namespace {

class AboutDialogTest : public testsupport::UiTest {};

TEST_F(AboutDialogTest, ShowsTheConfiguredLinesAndTheButtonTextOfTheLanguage) {
    loadConfig(
        "[Run]\nDefaultLanguage=English\n"
        "[English]\nVersion=Chipwright & friends 1.0\nWebsite=<b>site</b>\n");
    {
        AboutDialog dialog;
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("About"));
        EXPECT_EQ(dialog.findChild<QPushButton*>(QStringLiteral("ok"))->text(),
                  QStringLiteral("OK"));
        auto* version = dialog.findChild<QLabel*>(QStringLiteral("version"));
        EXPECT_EQ(version->text(), QStringLiteral("Chipwright & friends 1.0"));
        EXPECT_EQ(version->textFormat(), Qt::PlainText);
        EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("company"))->text(), QString());
        EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("website"))->textFormat(),
                  Qt::PlainText);
    }
    app::setLanguage(app::kLanguageChinese);
    AboutDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("About"));
    EXPECT_EQ(dialog.findChild<QPushButton*>(QStringLiteral("ok"))->text(),
              QString::fromUtf8("确  定"));
    EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("version"))->text(), QString());
}

TEST_F(AboutDialogTest, ShowsTheConfiguredPictureElseTheBuiltInOne) {
    loadConfig("[Run]\nDefaultLanguage=English\n[English]\nAboutPictureFile=about.png\n");
    {
        AboutDialog dialog;
        const QPixmap shown = dialog.findChild<QLabel*>(QStringLiteral("picture"))->pixmap();
        EXPECT_EQ(shown.size(), QSize(ui::kPictureWidth, ui::kPictureHeight));
    }
    QPixmap file(30, 20);
    file.fill(Qt::red);
    ASSERT_TRUE(file.save(QString::fromStdString(folder.file("about.png"))));
    AboutDialog dialog;
    EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("picture"))->pixmap().size(), QSize(30, 20));
}

// Takes the desktop's place for file URLs.
class UrlCatcher : public QObject {
    Q_OBJECT

  public:
    QList<QUrl> urls;

  public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

TEST_F(AboutDialogTest, UserManualHandsAnExistingFileToTheDesktopAndReportsAMissingOne) {
    loadConfig("[Run]\nDefaultLanguage=English\n[English]\nManualFile=manual.html\n");
    UrlCatcher desktop;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &desktop, "open");

    bool handedOver = true;
    auto boxes = closingMessageBoxes([&] { handedOver = ui::openUserManual(nullptr); });
    EXPECT_FALSE(handedOver);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("No manual file!"));
    EXPECT_TRUE(desktop.urls.isEmpty());

    testsupport::writeFile(folder.file("manual.html"), "<html></html>");
    boxes = closingMessageBoxes([&] { handedOver = ui::openUserManual(nullptr); });
    EXPECT_TRUE(handedOver);
    EXPECT_TRUE(boxes.empty());
    ASSERT_EQ(desktop.urls.size(), 1);
    EXPECT_EQ(desktop.urls[0].toLocalFile(), QString::fromStdString(folder.file("manual.html")));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));

    // A machine with no browser or opener: the same box, and the log says why.
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", folder.dir().c_str());
    std::vector<std::string> logged;
    boxes = closingMessageBoxes([&] {
        handedOver =
            ui::openUserManual(nullptr, [&](const std::string& line) { logged.push_back(line); });
    });
    qputenv("PATH", path);
    EXPECT_FALSE(handedOver);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("No manual file!"));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0],
              "Cannot open the user manual: no program to open it! " + folder.file("manual.html"));
}

}  // namespace

#include "about_dialog_test.moc"
