// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/artwork.h"

#include <QImage>
#include <array>
#include <cstring>

#include "ui/artwork_pixels.h"

namespace ui {

namespace {

struct ToolbarEntry {
    int commandId;
    const char* file;
    const char* chinese;
    const char* english;
};

// The toolbar's buttons, in their order on the bar.
constexpr std::array<ToolbarEntry, 14> kToolbar{{
    {32884, "open", "打开", "Load"},
    {32885, "save", "保存", "Save"},
    {32894, "fill", "填充", "Fill"},
    {32895, "swap", "交换", "Swap"},
    {32891, "auto", "自动", "Auto"},
    {32886, "erase", "擦除", "Erase"},
    {32887, "write", "编程", "Prog"},
    {32889, "read", "读出", "Read"},
    {32888, "verify", "校验", "Verify"},
    {32881, "detect", "检测", "Search"},
    {32893, "version", "版本", "Ver"},
    {32897, "update", "升级", "Update"},
    {32862, "manual", "帮助", "Help"},
    {32863, "about", "关于", "About"},
}};

const ToolbarEntry* toolbarEntry(int commandId) {
    for (const ToolbarEntry& entry : kToolbar) {
        if (entry.commandId == commandId)
            return &entry;
    }
    return nullptr;
}

QPixmap pixmapOf(const RenderedImage& rendered) {
    return QPixmap::fromImage(QImage(rendered.pixels, rendered.width, rendered.height,
                                     rendered.width * 4,
                                     static_cast<QImage::Format>(rendered.format)));
}

// The icon of every size rendered for `name` when the program was built; the icon picks
// the one that fits its use.
QIcon renderedIcon(const char* name) {
    QIcon icon;
    for (const RenderedImage& rendered : renderedImages()) {
        if (std::strcmp(rendered.name, name) == 0)
            icon.addPixmap(pixmapOf(rendered));
    }
    return icon;
}

}  // namespace

QIcon toolbarIcon(int commandId) {
    const ToolbarEntry* entry = toolbarEntry(commandId);
    return entry == nullptr ? QIcon() : renderedIcon(entry->file);
}

QString toolbarLabel(int commandId, bool english) {
    const ToolbarEntry* entry = toolbarEntry(commandId);
    if (entry == nullptr)
        return {};
    return QString::fromUtf8(english ? entry->english : entry->chinese);
}

QIcon applicationIcon() {
    return renderedIcon("chipwright");
}

QPixmap builtInPicture() {
    for (const RenderedImage& rendered : renderedImages()) {
        if (std::strcmp(rendered.name, "picture") == 0)
            return pixmapOf(rendered);
    }
    return {};
}

}  // namespace ui
