// SPDX-License-Identifier: GPL-3.0-or-later
// chips and info: the chip database, with no programmer.
#include <cstdio>

#include "catalogue/chip_queries.h"
#include "cli/run_session.h"
#include "util/text_codec.h"

namespace cli {

int Run::listChips(const catalogue::ChipDatabase& db) {
    // Names are stored in upper case; the search dialog folds what is typed the same way.
    const std::string pattern = o_.arguments.empty() ? "" : upperAscii(o_.arguments[0]);
    const catalogue::PatternMatches found = catalogue::searchByPattern(
        db, util::utf8ToGbk(pattern), *typeKeyFor(o_.type), catalogue::kChipListCapacity);
    report_.chips = found.chips;
    if (!o_.json) {
        for (const catalogue::ChipRecord& c : found.chips) {
            std::fprintf(s_.out, "%-24s %-14s %-10s %s\n", c.nameText().c_str(),
                         c.manufacturerText().c_str(), catalogue::typeText(c.type).c_str(),
                         catalogue::capacityText(c).c_str());
        }
    }
    if (found.total == 0) {
        ui_.note("no chip matches " + (o_.arguments.empty() ? "" : o_.arguments[0] + " ") +
                 (o_.type.empty() ? "" : "of type " + o_.type + " ") + "in the database");
    }
    if (found.total > found.chips.size())
        ui_.note(std::to_string(found.total) + " chips match; the first " +
                 std::to_string(found.chips.size()) + " are listed");
    return finish(found.total > 0 ? kExitDone : kExitFailed, found.total > 0 ? "done" : "failed");
}

int Run::showChip(const catalogue::ChipDatabase& db) {
    catalogue::ChipRecord chip;
    if (!findChip(db, o_.arguments[0], chip)) {
        ui_.note("unknown chip " + o_.arguments[0] + " (chipwright-cli chips PATTERN lists them)");
        return finish(kExitUsage, "unknown-chip");
    }
    report_.chips = {chip};
    report_.chip = chip.nameText();
    if (!o_.json) {
        std::fprintf(s_.out,
                     "name: %s\nmanufacturer: %s\ntype: %s\ncapacity: %s (%u bytes)\n"
                     "page: %u bytes\nids: %02X %02X\n",
                     chip.nameText().c_str(), chip.manufacturerText().c_str(),
                     catalogue::typeText(chip.type).c_str(), catalogue::capacityText(chip).c_str(),
                     chip.capacity, chip.pageWrite != 0 ? chip.pageSize : 1u, chip.manufacturerId,
                     chip.deviceId);
    }
    return finish(kExitDone, "done");
}

}  // namespace cli
