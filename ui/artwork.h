// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's own pictures, built into it as pixels: the 14 toolbar icons with their
// short labels, the application icon, and the picture the main window and the About
// dialog show when no picture file loads. The icons are SVG, rendered when the program
// is built at the toolbar's 38 x 38 pixels (and twice that for high-density screens).

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace ui {

constexpr int kToolbarIconSize = 38;
constexpr int kPictureWidth = 214;
constexpr int kPictureHeight = 153;

// The icon of a toolbar command (32884 Open ... 32863 About); a null icon for any other id.
QIcon toolbarIcon(int commandId);

// The short label under a toolbar button, in English or Chinese; empty for any other id.
QString toolbarLabel(int commandId, bool english);

QIcon applicationIcon();

// The 214 x 153 built-in picture.
QPixmap builtInPicture();

}  // namespace ui
