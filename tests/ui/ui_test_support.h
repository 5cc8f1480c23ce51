// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the window and dialog tests share: one QApplication for the process, a config.ini
// of their own in a fresh folder, and a catcher for the modal message boxes the code under
// test opens, so that no test waits for a click.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/messages.h"
#include "tests/support/temp_dir.h"
#include "util/text_codec.h"

// Failed comparisons of texts print the text, not its UTF-16 units.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace testsupport {

class UiTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() != nullptr)
            return;
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "ui_tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // lives as long as the test process
    }

    // Builds the message table from a config.ini (UTF-8 here, GBK on disk) in the folder.
    void loadConfig(const std::string& ini) {
        writeFile(folder.file("config.ini"), util::utf8ToGbk(ini));
        app::loadMessageTable(folder.dir());
    }

    TempDir folder;
};

// One message box as the user saw it.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
};

// Runs `action` and closes with OK every message box it opens, recording each.
inline std::vector<SeenBox> closingMessageBoxes(const std::function<void()>& action) {
    std::vector<SeenBox> seen;
    QObject scope;  // stops the timer when this returns
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &scope, [&seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        seen.push_back({box->windowTitle(), box->text(), box->icon(),
                        static_cast<int>(box->buttons().size())});
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    });
    poll.start(5);
    action();
    return seen;
}

}  // namespace testsupport
