// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// AboutDialog: the picture and three lines the user configures (version, company,
// website), under the title "About" in either language. Made afresh at every opening,
// so a language switch shows at the next one.

#include <QDialog>

namespace ui {

class AboutDialog : public QDialog {
    Q_OBJECT

  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace ui
