// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/about_dialog.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "app/messages.h"
#include "ui/artwork.h"
#include "ui/dialog_units.h"

namespace ui {

namespace {

QString message(int key) {
    return QString::fromStdString(app::messageText(key));
}

void addLine(QWidget* dialog, const char* name, int key, int y) {
    // Plain text: configured lines show "&" and "<" as they are.
    auto* line = new QLabel(message(key), dialog);
    line->setObjectName(QLatin1String(name));
    line->setTextFormat(Qt::PlainText);
    line->setAlignment(Qt::AlignCenter);
    line->setGeometry(unitRect(7, y, 220, 8));
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(pixels(236), pixels(186));

    // Centred in its frame and clipped to it, whatever the size of the configured picture.
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    picture->setGeometry(unitRect(43, 12, 144, 99));
    picture->setAlignment(Qt::AlignCenter);
    QPixmap configured(message(app::MsgAboutPictureFile));
    picture->setPixmap(configured.isNull() ? builtInPicture() : configured);

    addLine(this, "version", app::MsgVersion, 118);
    addLine(this, "company", app::MsgCompany, 132);
    addLine(this, "website", app::MsgWebsite, 144);

    auto* ok = new QPushButton(message(app::MsgAboutOk), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setGeometry(unitRect(92, 157, 50, 15));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace ui
