// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/bench_tools.h"

#include <QString>
#include <memory>
#include <vector>

#include "app/messages.h"
#include "app/tool_messages.h"
#include "catalogue/chip_queries.h"
#include "hexview/hex_view.h"
#include "operations/bench_checks.h"
#include "operations/checks.h"
#include "ui/main_window.h"
#include "ui/tool_report_dialog.h"

namespace ui {
namespace {

using operations::Cause;
using operations::Outcome;

QString text(app::ToolText key) {
    return QString::fromStdString(app::toolText(key));
}

QString hexAddress(std::uint64_t address) {
    return QString::asprintf("0x%06llX", static_cast<unsigned long long>(address));
}

QString hexByte(std::uint8_t value) {
    return QString::asprintf("%02X", value);
}

// The ranges in the table, each shown in the buffer when chosen.
void listRanges(ToolReportDialog& dialog, const operations::Differences& d, MainWindow& window) {
    dialog.setColumns(
        {text(app::TxtColumnStart), text(app::TxtColumnEnd), text(app::TxtColumnBytes)});
    for (const operations::DifferenceRange& r : d.ranges) {
        dialog.addRow({hexAddress(r.start), hexAddress(std::uint64_t{r.start} + r.count - 1),
                       QString::number(r.count)});
    }
    dialog.onRowChosen([ranges = d.ranges, &window](int row) {
        const operations::DifferenceRange& r = ranges[static_cast<std::size_t>(row)];
        window.hexView()->showRange(r.start, r.count);
    });
    dialog.addLine(text(app::TxtDifferenceTotals).arg(d.totalRanges).arg(d.totalBytes));
    if (d.totalRanges > d.ranges.size())
        dialog.addLine(text(app::TxtListedFirst).arg(d.ranges.size()));
    dialog.addLine(text(app::TxtJumpHint));
}

void addDiagnosis(ToolReportDialog& dialog, Cause cause) {
    if (cause == Cause::None)
        return;
    const std::string code = operations::describe(cause).code;
    const app::CauseText words = app::causeText(code);
    dialog.addLine(text(app::TxtDiagnosis).arg(QString::fromStdString(code)));
    dialog.addLine(QString::fromStdString(words.explanation));
    dialog.addLine(QString::fromStdString(words.suggestion));
}

void addSums(ToolReportDialog& dialog, app::ToolText key, const operations::Checksums& sums) {
    dialog.addLine(
        text(key).arg(sums.crc32, 8, 16, QChar(u'0')).arg(QString::fromStdString(sums.sha256)));
}

}  // namespace

void verifyAllDifferences(operations::Workbench& bench, MainWindow& window) {
    operations::Differences d;
    std::vector<unsigned char> chip;
    const Outcome o = operations::verifyChipAll(bench, window, d, kListedRangesInWindow, chip);
    if (o != Outcome::Done && o != Outcome::Mismatch)
        return;
    // The diagnosis reads the chip twice more, as the terminal's does after a failed verify.
    const Cause cause =
        o == Outcome::Mismatch ? operations::diagnoseVerifyFailure(bench, window) : Cause::None;
    ToolReportDialog dialog(text(app::TxtVerifyAllTitle), &window);
    if (d.any()) {
        listRanges(dialog, d, window);
        dialog.offerSaveReport(QStringLiteral("differences.csv"));
    } else {
        dialog.addLine(text(app::TxtChipMatches));
    }
    addDiagnosis(dialog, cause);
    addSums(dialog, app::TxtBufferSums, operations::bufferChecksums(bench));
    addSums(dialog, app::TxtChipSums, operations::checksumsOf(chip));
    dialog.exec();
}

void readTwiceAndCompare(operations::Workbench& bench, MainWindow& window) {
    operations::Differences unstable;
    const Outcome o = operations::readChipAgreeing(bench, window, 2, unstable);
    if (o != Outcome::Done && !unstable.any())
        return;
    ToolReportDialog dialog(text(app::TxtReadTwiceTitle), &window);
    if (o == Outcome::Done) {
        dialog.addLine(text(app::TxtReadsAgree));
        addSums(dialog, app::TxtBufferSums, operations::bufferChecksums(bench));
    } else {
        dialog.addLine(text(app::TxtReadsDiffer));
        listRanges(dialog, unstable, window);
        operations::Evidence evidence;
        evidence.readsDiffered = true;
        addDiagnosis(dialog, operations::diagnose(evidence));
    }
    dialog.exec();
}

void blankCheck(operations::Workbench& bench, MainWindow& window) {
    operations::BlankCheck result;
    operations::Checksums sums;
    Cause cause = Cause::None;
    const Outcome o = operations::blankCheckChip(bench, window, 1, result, sums, cause);
    if (o != Outcome::Done && o != Outcome::Mismatch && cause == Cause::None)
        return;
    ToolReportDialog dialog(text(app::TxtBlankCheckTitle), &window);
    if (o == Outcome::Done) {
        dialog.addLine(text(app::TxtChipBlank));
    } else if (o == Outcome::Mismatch) {
        dialog.addLine(text(app::TxtChipNotBlank)
                           .arg(hexAddress(result.firstNonBlank))
                           .arg(result.nonBlankBytes));
        dialog.setColumns({text(app::TxtColumnStart)});
        dialog.addRow({hexAddress(result.firstNonBlank)});
        dialog.addLine(text(app::TxtJumpHint));
        dialog.onRowChosen([&window, first = result.firstNonBlank](int) {
            window.hexView()->showRange(first, 1);
        });
    }
    addDiagnosis(dialog, cause);
    if (o != Outcome::Failed)
        addSums(dialog, app::TxtChipSums, sums);
    dialog.exec();
}

void identifyChip(operations::Workbench& bench, MainWindow& window) {
    operations::ChipIds ids;
    if (operations::readChipIds(bench, window, ids) != Outcome::Done)
        return;
    ToolReportDialog dialog(text(app::TxtIdentifyTitle), &window);
    dialog.addLine(text(app::TxtIdsAre).arg(hexByte(ids.manufacturer), hexByte(ids.device)));
    const auto found = operations::idsMeanNoChip(ids)
                           ? std::vector<catalogue::ChipRecord>{}
                           : catalogue::findAllByIds(*bench.database, ids.manufacturer, ids.device);
    if (operations::idsMeanNoChip(ids)) {
        dialog.addLine(text(app::TxtNoContact));
    } else if (found.empty()) {
        dialog.addLine(text(app::TxtNoRecord));
    } else {
        dialog.setColumns({QString::fromStdString(app::messageText(app::MsgColumnChipName)),
                           QString::fromStdString(app::messageText(app::MsgColumnManufacturer)),
                           QString::fromStdString(app::messageText(app::MsgColumnCapacity))});
        for (const catalogue::ChipRecord& c : found) {
            dialog.addRow({QString::fromStdString(c.nameText()),
                           QString::fromStdString(c.manufacturerText()),
                           QString::fromStdString(catalogue::capacityText(c))});
        }
        dialog.offerSelect();
        // The chip is selected as the panel's search selects one: lists, buffer and all.
        dialog.onRowChosen([&bench, &window, found](int row) {
            operations::selectChip(bench, window, found[static_cast<std::size_t>(row)]);
        });
    }
    dialog.exec();
}

bool backedUpIfAsked(operations::Workbench& bench, MainWindow& window, bool changesChip) {
    // Without the database the command refuses itself; there is no chip to read.
    if (!app::backupBeforeChanges() || !changesChip || !bench.ready())
        return true;
    const std::string folder = app::backupFolder();
    operations::Backup saved;
    operations::Differences unstable;
    std::vector<unsigned char> read;
    const Outcome o = operations::backupChip(bench, window, folder, 1, saved, unstable, read);
    if (o == Outcome::Done)
        return true;
    // Busy and cancelled are the user's own doing, and the read has said so.
    if (o != Outcome::Busy && o != Outcome::Cancelled)
        window.showMessage(
            text(app::TxtBackupFailed).arg(QString::fromStdString(folder)).toStdString());
    return false;
}

}  // namespace ui
