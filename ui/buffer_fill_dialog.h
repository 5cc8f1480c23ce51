// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// BufferFillDialog: asks for the start address, length and byte value of a buffer fill,
// each in hexadecimal. Its input filter keeps the three fields to hex digits while the
// user types or pastes: a text with any other character is replaced by the field's last
// good text, with the caret put where the first bad character was.
//
// The dialog is made afresh for every fill, so it always opens with "000000", "1" and
// "00"; nothing is remembered between uses. It opens in the address field, its text
// selected.

#include <QDialog>
#include <QString>

#include "operations/frontend.h"

class QLineEdit;

namespace ui {

class BufferFillDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kAddressMaxLength = 6;
    static constexpr int kLengthMaxLength = 6;
    static constexpr int kDataMaxLength = 2;

    explicit BufferFillDialog(QWidget* parent = nullptr);

    // After the dialog has ended: whether OK closed it, and the three texts.
    operations::FillRequest request() const;

  private:
    // One field with its last text that held hex digits only.
    struct HexField {
        QLineEdit* edit = nullptr;
        QString lastGoodText;
    };

    void addField(HexField& field, const char* name, int y, const char* initialText, int maxLength);
    static void filter(HexField& field);

    HexField address_;
    HexField length_;
    HexField data_;
};

}  // namespace ui
