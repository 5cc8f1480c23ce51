// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's pictures as pixels, made when the program is built (render_artwork):
// each SVG icon rendered at each of its sizes, and the built-in picture decoded, so that
// start-up neither parses nor draws an SVG nor decodes a PNG.

#include <span>

namespace ui {

struct RenderedImage {
    // The file's name without its extension: "open", ..., "chipwright", "picture".
    const char* name;
    int width;
    int height;
    // A 32-bit QImage::Format, the one a pixmap keeps such an image in.
    int format;
    // Rows of width 32-bit pixels, one after the other.
    const unsigned char* pixels;
};

// Every rendered image; an icon's sizes follow one another, smallest first.
std::span<const RenderedImage> renderedImages();

}  // namespace ui
