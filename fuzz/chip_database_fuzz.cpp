// SPDX-License-Identifier: GPL-3.0-or-later
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "catalogue/chip_database.h"
#include "catalogue/chip_queries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/chipwright-fuzz-db-" + std::to_string(getpid());
    static auto db = std::make_unique<catalogue::ChipDatabase>();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    if (!catalogue::loadDatabase(path, *db)) {
        if (db->count() != 0)
            __builtin_trap();
        return 0;
    }
    catalogue::ChipRecord chip;
    catalogue::manufacturersOfType(*db, catalogue::AnyType);
    catalogue::findByName(*db, "EN25T80", chip);
    for (const auto& c : db->chips()) {
        catalogue::capacityText(c);
        catalogue::typeText(c.type);
        catalogue::searchByPattern(*db, c.nameBytes(), c.type);
        c.nameText();
    }
    return 0;
}
