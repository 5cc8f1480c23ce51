// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/artwork.h"

#include <QPainter>
#include <QSvgRenderer>
#include <array>
#include <mutex>

// The resources live in a static library, whose registration object no one references:
// it is registered explicitly before the first use.
static void registerArtwork() {
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(ui); });
}

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

QPixmap render(QSvgRenderer& renderer, int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    return pixmap;
}

// Renders the SVG at each square size; the icon picks the one that fits its use.
QIcon svgIcon(const QString& path, std::initializer_list<int> sizes) {
    QSvgRenderer renderer(path);
    if (!renderer.isValid())
        return {};
    QIcon icon;
    for (int size : sizes)
        icon.addPixmap(render(renderer, size, size));
    return icon;
}

}  // namespace

QIcon toolbarIcon(int commandId) {
    registerArtwork();
    const ToolbarEntry* entry = toolbarEntry(commandId);
    if (entry == nullptr)
        return {};
    const QString path = QStringLiteral(":/icons/%1.svg").arg(QLatin1String(entry->file));
    return svgIcon(path, {kToolbarIconSize, 2 * kToolbarIconSize});
}

QString toolbarLabel(int commandId, bool english) {
    const ToolbarEntry* entry = toolbarEntry(commandId);
    if (entry == nullptr)
        return {};
    return QString::fromUtf8(english ? entry->english : entry->chinese);
}

QIcon applicationIcon() {
    registerArtwork();
    return svgIcon(QStringLiteral(":/chipwright.svg"), {16, 24, 32, 48, 64, 128, 256});
}

QPixmap builtInPicture() {
    registerArtwork();
    return QPixmap(QStringLiteral(":/picture.png"));
}

}  // namespace ui
