// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/user_manual.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "app/messages.h"
#include "ui/message_box.h"

namespace ui {

bool openUserManual(QWidget* parent, const std::function<void(const std::string&)>& log) {
    const std::string name = app::messageText(app::MsgManualFile);
    const QString path = QString::fromStdString(name);
    if (QFileInfo(path).isFile()) {
        if (QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            return true;
        // The box stays the one the user knows; the log tells the file was there and
        // nothing could open it, which is what to fix.
        if (log)
            log(app::addedMessageText(app::MsgNoManualViewer) + " " + name);
    }
    showMessageBox(parent, app::messageText(app::MsgNoManualFile));
    return false;
}

}  // namespace ui
