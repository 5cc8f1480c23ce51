// SPDX-License-Identifier: GPL-3.0-or-later
// The files the build puts beside the program: config.ini, and the chip
// database built from resources/chips.csv.

#include <gtest/gtest.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "app/config.h"
#include "app/messages.h"
#include "catalogue/chip_csv.h"
#include "catalogue/chip_queries.h"

using namespace catalogue;

namespace {

TEST(ShippedFiles, TheBuiltDatabaseLoadsThroughTheShippedConfig) {
    const std::string dir = app::programDirectory();
    app::loadMessageTable(dir);
    ASSERT_EQ(app::currentLanguage(), "English");
    EXPECT_EQ(app::messageText(app::MsgDefaultChipName), "EN25T80");
    const std::string path = app::messageText(app::MsgDatabaseFile);
    ASSERT_GT(path.size(), dir.size()) << "config.ini names a database file";

    auto db = std::make_unique<ChipDatabase>();
    ASSERT_TRUE(loadDatabase(path, *db)) << path;
    EXPECT_GE(db->count(), 350);
    ChipRecord en25t80;
    ASSERT_TRUE(findByName(*db, "EN25T80", en25t80));
    EXPECT_EQ(en25t80.type, SpiFlash);
    EXPECT_EQ(en25t80.capacity, 1048576u);
    EXPECT_EQ(en25t80.manufacturerBytes(), "EON");

    std::set<int> types;
    for (const ChipRecord& c : db->chips())
        types.insert(c.type);
    EXPECT_EQ(types, (std::set<int>{SpiFlash, Eeprom24, Eeprom25, Eeprom93}));

    // Chip detection takes the first chip of an ID pair.
    ChipRecord detected;
    ASSERT_TRUE(findByIds(*db, 0x1C, 0x13, detected));
    EXPECT_EQ(detected.nameBytes(), "EN25T80");
}

TEST(ShippedFiles, EveryRowOfTheChipTableIsSound) {
    std::ifstream in(std::string(CHIPWRIGHT_SOURCE_DIR) + "/resources/chips.csv", std::ios::binary);
    ASSERT_TRUE(in);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ChipTable table = parseChipCsv(text);
    ASSERT_TRUE(table.errors.empty())
        << "line " << table.errors[0].line << ": " << table.errors[0].reason;
    std::set<std::string> names;
    for (const ChipRecord& c : table.chips) {
        SCOPED_TRACE(c.nameText());
        EXPECT_GE(c.type, SpiFlash);
        EXPECT_LE(c.type, Eeprom93);
        EXPECT_GT(c.capacity, 0u);
        EXPECT_LE(c.capacity, 16u * 1024 * 1024);
        if (c.pageWrite != 0) {
            ASSERT_GT(c.pageSize, 0);
            EXPECT_EQ(c.capacity % c.pageSize, 0u);
        }
        EXPECT_TRUE(c.organisation == 8 || c.organisation == 16);
        EXPECT_TRUE(names.insert(std::string(c.nameBytes())).second) << "duplicate name";
        // A dead or missing chip often reads 00 00; nothing may be detected as that.
        EXPECT_FALSE(c.manufacturerId == 0 && c.deviceId == 0);
    }
}

}  // namespace
