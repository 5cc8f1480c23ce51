// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/screenshots.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "operations/workbench.h"
#include "sim/sim_programmer.h"
#include "ui/about_dialog.h"
#include "ui/buffer_fill_dialog.h"
#include "ui/chip_search_dialog.h"
#include "ui/main_window.h"
#include "ui/tool_report_dialog.h"

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

// The simulated chip holds the buffer's data, but for three ranges that kept 0s where the
// data has 1s, as a chip written without an erase does: the report has ranges to list
// and a diagnosis to give.
void putDataWithThreeFaults(const operations::Workbench& bench, sim::SimProgrammer& chip) {
    const unsigned char* data = bench.buffer->image();
    std::vector<std::uint8_t> cells(data, data + bench.buffer->dataLength());
    struct Range {
        std::size_t start, count;
    };
    for (const Range r : {Range{0x100, 8}, Range{0x4A20, 32}, Range{0x7F00, 3}}) {
        for (std::size_t at = r.start; at < std::min(r.start + r.count, cells.size()); ++at)
            cells[at] = static_cast<std::uint8_t>(cells[at] & (cells[at] - 1));
    }
    chip.fillMemory(0, cells);
}

// Runs the window's own `action` and saves the report dialog it opens while it is shown,
// then closes it. The command's message boxes are closed as they come (a verify that
// finds differences says so in one before its report); without a report, they say why.
bool saveToolReport(QAction& action, const std::string& file) {
    bool saved = false;
    QStringList boxes;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* report = qobject_cast<ToolReportDialog*>(modal)) {
            look.stop();
            saved = save(*report, file);
            report->accept();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes << box->text();
            box->accept();
        }
    });
    look.start(20);
    action.trigger();
    if (!saved) {
        std::fprintf(stderr, "chipwright: no report to picture in %s: %s\n", file.c_str(),
                     boxes.join(QStringLiteral("; ")).toStdString().c_str());
    }
    return saved;
}

}  // namespace

bool takeScreenshots(MainWindow& window, const operations::Workbench& bench,
                     sim::SimProgrammer* simulated,
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
        } else if (subject == "verify" && simulated && bench.ready()) {
            putDataWithThreeFaults(bench, *simulated);
            saved = saveToolReport(*window.commandAction(CmdVerifyAll), file);
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
