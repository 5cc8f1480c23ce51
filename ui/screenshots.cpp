// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/screenshots.h"

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <cstdio>

#include "operations/workbench.h"
#include "ui/about_dialog.h"
#include "ui/buffer_fill_dialog.h"
#include "ui/chip_search_dialog.h"
#include "ui/main_window.h"

namespace ui {
namespace {

bool save(QWidget& widget, const std::string& file) {
    widget.show();
    QApplication::processEvents();
    if (widget.grab().save(QString::fromStdString(file), "PNG"))
        return true;
    std::fprintf(stderr, "chipwright: cannot write %s\n", file.c_str());
    return false;
}

}  // namespace

bool takeScreenshots(MainWindow& window, const operations::Workbench& bench,
                     const std::vector<std::pair<std::string, std::string>>& shots) {
    for (const auto& [subject, file] : shots) {
        bool saved = false;
        if (subject == "main") {
            saved = save(window, file);
        } else if (subject == "search" && bench.database) {
            ChipSearchDialog dialog(*bench.database, &window);
            if (auto* pattern = dialog.findChild<QLineEdit*>(QStringLiteral("pattern")))
                pattern->setText(QStringLiteral("W25Q"));
            saved = save(dialog, file);
        } else if (subject == "fill") {
            BufferFillDialog dialog(&window);
            saved = save(dialog, file);
        } else if (subject == "about") {
            AboutDialog dialog(&window);
            saved = save(dialog, file);
        } else {
            std::fprintf(stderr, "chipwright: no screenshot of \"%s\" (%s)\n", subject.c_str(),
                         kScreenshotSubjects);
        }
        if (!saved)
            return false;
    }
    return true;
}

}  // namespace ui
