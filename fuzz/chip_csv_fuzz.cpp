// SPDX-License-Identifier: GPL-3.0-or-later
// The CSV chip table reader. Whatever rows it accepts, the chipdb tool builds into a
// database file, and the loader must take that file back: the two hold records to the
// same rules, so a row the reader lets through and the loader refuses is a fault.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "catalogue/chip_csv.h"
#include "catalogue/chip_database.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/chipwright-fuzz-csv-db-" + std::to_string(getpid());
    static auto db = std::make_unique<catalogue::ChipDatabase>();
    auto table =
        catalogue::parseChipCsv(std::string_view(reinterpret_cast<const char*>(data), size));
    if (table.chips.size() > catalogue::kMaxChips)
        __builtin_trap();
    for (const auto& chip : table.chips) {
        if (chip.capacity == 0 || chip.capacity > catalogue::kMaxChipCapacity)
            __builtin_trap();
    }
    if (table.chips.empty())
        return 0;
    const auto image = catalogue::buildDatabaseImage(table.chips);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
    }
    if (!catalogue::loadDatabase(path, *db) || db->count() != table.chips.size())
        __builtin_trap();
    return 0;
}
