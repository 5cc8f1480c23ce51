#include "ui/message_box.h"

#include <QMessageBox>

namespace ui {

void showMessageBox(QWidget* parent, const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kMessageBoxTitle),
                    QString::fromStdString(text), QMessageBox::Ok, parent);
    // Texts from the message table and file paths are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace ui
