// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/user_manual.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "app/messages.h"
#include "ui/message_box.h"

namespace ui {

bool openUserManual(QWidget* parent) {
    const QString path = QString::fromStdString(app::messageText(app::MsgManualFile));
    if (QFileInfo(path).isFile() && QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return true;
    showMessageBox(parent, app::messageText(app::MsgNoManualFile));
    return false;
}

}  // namespace ui
