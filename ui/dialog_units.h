// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The windows are laid out in dialog units of 9-point text; one factor turns them into
// pixels in both directions. At 1.5 pixels per unit the hex view gets the 72 columns of
// 8 pixels and 25 lines of 16 pixels it draws.

#include <QRect>

namespace ui {

constexpr double kPixelsPerDialogUnit = 1.5;

constexpr int pixels(int dialogUnits) {
    return static_cast<int>(dialogUnits * kPixelsPerDialogUnit);
}

// A control's rectangle from its dialog-unit position and size.
inline QRect unitRect(int x, int y, int width, int height) {
    return {pixels(x), pixels(y), pixels(width), pixels(height)};
}

}  // namespace ui
