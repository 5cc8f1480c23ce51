// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "catalogue/chip_csv.h"
#include "catalogue/chip_database.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto table =
        catalogue::parseChipCsv(std::string_view(reinterpret_cast<const char*>(data), size));
    if (table.chips.size() > catalogue::kMaxChips)
        __builtin_trap();
    for (const auto& chip : table.chips) {
        if (chip.capacity == 0 || chip.capacity > catalogue::kMaxChipCapacity)
            __builtin_trap();
    }
    return 0;
}
