// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/message_box.h"

#include <QMessageBox>

namespace ui {

namespace {

int run(QWidget* parent, const std::string& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kMessageBoxTitle),
                    QString::fromStdString(text), buttons, parent);
    // Texts from the message table and file paths are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    return box.exec();
}

}  // namespace

void showMessageBox(QWidget* parent, const std::string& text) {
    run(parent, text, QMessageBox::Ok);
}

bool askOkCancelBox(QWidget* parent, const std::string& text) {
    return run(parent, text, QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
}

}  // namespace ui
