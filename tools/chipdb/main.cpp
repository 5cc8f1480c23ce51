// SPDX-License-Identifier: GPL-3.0-or-later
// chipdb: builds the chip database file from the CSV chip table, or lists a
// database file.
//
//   chipdb CHIPS.csv DATABASE     build; bad rows are reported as FILE:LINE: reason
//   chipdb --list DATABASE        print every chip of a database file

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/chip_csv.h"
#include "catalogue/chip_database.h"
#include "catalogue/chip_queries.h"
#include "util/regular_file.h"
#include "util/safe_file.h"

namespace {

// Far more than the longest table the database can hold (2000 chips of a line each).
constexpr std::size_t kLongestTable = 16u << 20;

int usage() {
    std::fprintf(stderr,
                 "usage: chipdb CHIPS.csv DATABASE\n"
                 "       chipdb --list DATABASE\n");
    return 2;
}

int list(const std::string& path) {
    auto db = std::make_unique<catalogue::ChipDatabase>();
    if (!catalogue::loadDatabase(path, *db)) {
        std::fprintf(stderr, "chipdb: %s is not a valid chip database\n", path.c_str());
        return 1;
    }
    for (const catalogue::ChipRecord& chip : db->chips()) {
        std::printf("%-10s %-24s %-12s %10s  %02X %02X\n", catalogue::typeText(chip.type).c_str(),
                    chip.nameText().c_str(), chip.manufacturerText().c_str(),
                    catalogue::capacityText(chip).c_str(), chip.manufacturerId, chip.deviceId);
    }
    std::printf("%u chips\n", db->count());
    return 0;
}

int build(const std::string& csvPath, const std::string& dbPath) {
    std::vector<unsigned char> bytes;
    std::string error;
    if (util::readRegularFile(csvPath, kLongestTable, bytes, &error) != util::FileRead::Ok) {
        std::fprintf(stderr, "chipdb: %s\n", error.c_str());
        return 1;
    }
    const std::string text(bytes.begin(), bytes.end());
    catalogue::ChipTable table = catalogue::parseChipCsv(text);
    for (const catalogue::CsvError& bad : table.errors)
        std::fprintf(stderr, "%s:%d: %s\n", csvPath.c_str(), bad.line, bad.reason.c_str());
    if (!table.errors.empty())
        return 1;
    std::vector<std::uint8_t> image = catalogue::buildDatabaseImage(table.chips);
    if (!util::replaceFileSafely(dbPath, std::span<const unsigned char>(image), &error)) {
        std::fprintf(stderr, "chipdb: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) try {
    if (argc != 3)
        return usage();
    std::string first = argv[1];
    if (first == "--list")
        return list(argv[2]);
    return build(first, argv[2]);
} catch (const std::exception& e) {
    std::fprintf(stderr, "chipdb: %s\n", e.what());
    return 1;
}
