// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's icons as pixels: each SVG rendered at each of its sizes when the program
// is built (render_artwork), so that start-up neither parses nor draws any SVG.

#include <span>

namespace ui {

struct RenderedIcon {
    // The SVG's name without its extension: "open", ..., "chipwright".
    const char* name;
    // Square: size x size premultiplied ARGB32 pixels, row after row.
    int size;
    const unsigned char* pixels;
};

// Every rendered size of every icon; an icon's sizes follow one another, smallest first.
std::span<const RenderedIcon> renderedIcons();

}  // namespace ui
