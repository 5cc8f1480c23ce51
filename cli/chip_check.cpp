// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/chip_check.h"

#include <algorithm>

#include "catalogue/chip_queries.h"
#include "cli/bench_steps.h"

namespace cli {
namespace {

using operations::ChipIds;
using operations::Outcome;

constexpr std::uint8_t kNoIdByte = 0xFF;

std::string names(const std::vector<catalogue::ChipRecord>& chips) {
    if (chips.empty())
        return "unknown";
    // A name the table holds twice is said once.
    std::vector<std::string> seen;
    std::string joined;
    for (const catalogue::ChipRecord& c : chips) {
        if (std::find(seen.begin(), seen.end(), c.nameText()) != seen.end())
            continue;
        seen.push_back(c.nameText());
        joined += (joined.empty() ? "" : ", ") + seen.back();
    }
    return joined;
}

// A command run with one record's parameters runs the same with another's.
bool sameParameters(const std::vector<catalogue::ChipRecord>& chips) {
    for (const catalogue::ChipRecord& c : chips) {
        const catalogue::ChipRecord& first = chips.front();
        if (c.type != first.type || c.capacity != first.capacity ||
            c.pageWrite != first.pageWrite || (c.pageWrite != 0 && c.pageSize != first.pageSize))
            return false;
    }
    return true;
}

// One chip as `chips` lists it.
std::string chipLine(const catalogue::ChipRecord& c) {
    char line[160];
    std::snprintf(line, sizeof line, "%-24s %-14s %-10s %s", c.nameText().c_str(),
                  c.manufacturerText().c_str(), catalogue::typeText(c.type).c_str(),
                  catalogue::capacityText(c).c_str());
    return line;
}

Refusal noChip(TerminalFrontend& ui, Report& report, const std::string& what, ChipIds ids) {
    report.socket = SocketAnswer{idText(ids), {}};
    ui.note(what + "no chip or no contact: the socket answers IDs " + idText(ids) +
            "; nothing was done");
    noteCause(ui, report, operations::Cause::NoChip);
    return {Outcome::Done, kExitFailed, "no-chip"};
}

}  // namespace

bool touchesChip(const std::string& c) {
    return c == "read" || c == "write" || c == "verify" || c == "erase" || c == "auto" ||
           c == "blank-check";
}

std::vector<catalogue::ChipRecord> chipsWithIds(const catalogue::ChipDatabase& db, ChipIds ids) {
    std::vector<catalogue::ChipRecord> found;
    for (const catalogue::ChipRecord& c : db.chips()) {
        if (c.manufacturerId == ids.manufacturer && c.deviceId == ids.device)
            found.push_back(c);
    }
    return found;
}

std::string idText(ChipIds ids) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X %02X", ids.manufacturer, ids.device);
    return text;
}

bool answersIds(const catalogue::ChipRecord& chip) {
    return chip.type == catalogue::SpiFlash &&
           !operations::idsMeanNoChip({chip.manufacturerId, chip.deviceId});
}

SocketAnswer socketAnswer(const catalogue::ChipDatabase& db, ChipIds ids) {
    return {idText(ids), chipsWithIds(db, ids)};
}

std::string wrongChipText(const catalogue::ChipDatabase& db, const catalogue::ChipRecord& selected,
                          ChipIds ids) {
    return "the chip in the socket is " + names(chipsWithIds(db, ids)) + " (IDs " + idText(ids) +
           "), not " + selected.nameText() + " (IDs " +
           idText({selected.manufacturerId, selected.deviceId}) + ")";
}

std::optional<Refusal> checkSocket(const Options& o, operations::Workbench& bench,
                                   TerminalFrontend& ui, Report& report) {
    // An EEPROM answers no IDs: its mode reads FF FF from any chip, and from none.
    if (!touchesChip(o.command) || bench.chip.type != catalogue::SpiFlash)
        return std::nullopt;
    const std::string name = bench.chip.nameText();
    if (o.force) {
        ui.note("--force: the chip in the socket is not checked against " + name);
        return std::nullopt;
    }
    if (!answersIds(bench.chip)) {
        ui.note(name + " has no IDs in the chip database: the chip in the socket is not checked");
        return std::nullopt;
    }
    ChipIds ids;
    if (const Outcome read = operations::readChipIds(bench, ui, ids); read != Outcome::Done)
        return Refusal{read, kExitFailed, ""};
    if (operations::idsMeanNoChip(ids))
        return noChip(ui, report, "", ids);
    if (ids.manufacturer == bench.chip.manufacturerId && ids.device == bench.chip.deviceId)
        return std::nullopt;
    report.socket = socketAnswer(*bench.database, ids);
    ui.note(wrongChipText(*bench.database, bench.chip, ids) +
            "; nothing was done (-c names the chip in the socket, -c auto takes it by its IDs, "
            "--force skips this check)");
    return Refusal{Outcome::Done, kExitFailed, "wrong-chip"};
}

std::optional<Refusal> chooseChipByIds(operations::Workbench& bench, TerminalFrontend& ui,
                                       Report& report) {
    ChipIds ids;
    if (const Outcome read = operations::readChipIds(bench, ui, ids); read != Outcome::Done)
        return Refusal{read, kExitFailed, ""};
    if (operations::idsMeanNoChip(ids))
        return noChip(ui, report, "-c auto: ", ids);
    report.socket = socketAnswer(*bench.database, ids);
    std::vector<catalogue::ChipRecord> found;
    for (const catalogue::ChipRecord& c : chipsWithIds(*bench.database, ids)) {
        if (c.type == catalogue::SpiFlash)
            found.push_back(c);
    }
    if (found.empty()) {
        ui.note("-c auto: no chip of the database answers IDs " + idText(ids) +
                "; name the chip with -c");
        return Refusal{Outcome::Done, kExitFailed, "unknown-chip"};
    }
    if (!sameParameters(found)) {
        ui.note("-c auto: chips of different capacity or page size answer IDs " + idText(ids) +
                "; name the one in the socket with -c:");
        for (const catalogue::ChipRecord& c : found)
            ui.note("  " + chipLine(c));
        report.chips = found;
        return Refusal{Outcome::Done, kExitUsage, "ambiguous-chip"};
    }
    operations::selectChip(bench, ui, found.front());
    ui.note("-c auto: " + found.front().nameText() + " (IDs " + idText(ids) + ")");
    return std::nullopt;
}

void listDetected(std::FILE* out, bool json, const catalogue::ChipDatabase& db,
                  const std::optional<ChipIds>& ids, Report& report) {
    if (!ids)
        return;
    // FF FF is also every chip's that answers no ID: an empty socket names none of them.
    if (!(ids->manufacturer == kNoIdByte && ids->device == kNoIdByte))
        report.chips = chipsWithIds(db, *ids);
    report.socket = SocketAnswer{idText(*ids), report.chips};
    if (json)
        return;
    std::fprintf(out, "ids %s\n", idText(*ids).c_str());
    for (const catalogue::ChipRecord& c : report.chips)
        std::fprintf(out, "%s\n", chipLine(c).c_str());
}

}  // namespace cli
