// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/buffer_fill_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/messages.h"
#include "buffer/hex_text.h"
#include "ui/dialog_units.h"

namespace ui {

namespace {

QString message(int key) {
    return QString::fromStdString(app::messageText(key));
}

void addLabel(QWidget* dialog, int key, int y) {
    auto* label = new QLabel(message(key), dialog);
    // Wide enough for "地址(16进制):" whole, right-aligned against the fields.
    label->setGeometry(unitRect(8, y, 53, 8));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

}  // namespace

BufferFillDialog::BufferFillDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(message(app::MsgFillTitle));
    setFixedSize(pixels(158), pixels(78));

    addLabel(this, app::MsgFillAddress, 16);
    addLabel(this, app::MsgFillLength, 35);
    addLabel(this, app::MsgFillData, 54);
    addField(address_, "address", 14, "000000", kAddressMaxLength);
    addField(length_, "length", 33, "1", kLengthMaxLength);
    addField(data_, "data", 52, "00", kDataMaxLength);

    auto* ok = new QPushButton(message(app::MsgFillOk), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setGeometry(unitRect(115, 12, 36, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(message(app::MsgFillCancel), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setGeometry(unitRect(115, 50, 36, 14));
    // The dialog opens in the address field with its text selected, so the first key
    // typed replaces it.
    address_.edit->setFocus(Qt::OtherFocusReason);
    address_.edit->selectAll();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void BufferFillDialog::addField(HexField& field, const char* name, int y, const char* initialText,
                                int maxLength) {
    field.edit = new QLineEdit(this);
    field.edit->setObjectName(QLatin1String(name));
    field.edit->setGeometry(unitRect(63, y, 37, 12));
    field.edit->setMaxLength(maxLength);
    field.edit->setText(QLatin1String(initialText));
    field.lastGoodText = field.edit->text();
    // textEdited comes from the user's typing, pasting and deleting only, never from the
    // filter's own setText, so putting the last good text back cannot run the filter again.
    connect(field.edit, &QLineEdit::textEdited, this, [&field] { filter(field); });
}

void BufferFillDialog::filter(HexField& field) {
    const QString text = field.edit->text();
    const int bad = buffer::firstNonHex(text.toStdString());
    if (bad < 0) {
        field.lastGoodText = text;
        return;
    }
    // firstNonHex counts UTF-8 bytes; every character before the first bad one is a hex
    // digit of one byte, so the index is also the caret position.
    field.edit->setText(field.lastGoodText);
    field.edit->setCursorPosition(bad);
}

operations::FillRequest BufferFillDialog::request() const {
    operations::FillRequest request;
    request.accepted = result() == QDialog::Accepted;
    request.address = address_.edit->text().toStdString();
    request.length = length_.edit->text().toStdString();
    request.data = data_.edit->text().toStdString();
    return request;
}

}  // namespace ui
