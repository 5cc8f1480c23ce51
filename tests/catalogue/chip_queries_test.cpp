// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/chip_queries.h"

#include <gtest/gtest.h>
#include <memory>

#include "tests/support/chip_test_support.h"
#include "tests/support/temp_dir.h"

using namespace catalogue;
using testsupport::chip;

namespace {

// Fills a database the way a load does, without a file.
std::unique_ptr<ChipDatabase> databaseOf(const std::vector<ChipRecord>& chips) {
    auto db = std::make_unique<ChipDatabase>();
    for (std::size_t i = 0; i < chips.size(); ++i)
        db->records[i] = chips[i];
    db->header[0] = static_cast<std::uint8_t>(chips.size());
    db->header[1] = static_cast<std::uint8_t>(chips.size() >> 8);
    return db;
}

std::vector<std::string> namesOf(const std::vector<ChipRecord>& chips) {
    std::vector<std::string> names;
    for (const auto& c : chips)
        names.emplace_back(c.nameBytes());
    return names;
}

using Names = std::vector<std::string>;

TEST(ChipQueries, ManufacturersInOrderOfFirstAppearance) {
    auto db = databaseOf(
        {chip("a1", "A"), chip("b1", "B", Eeprom24), chip("a2", "A"), chip("d1", "D", Eeprom93)});
    EXPECT_EQ(manufacturersOfType(*db, AnyType), (Names{"A", "B", "D"}));
    EXPECT_EQ(manufacturersOfType(*db, SpiFlash), (Names{"A"}));
    EXPECT_EQ(manufacturersOfType(*db, Eeprom25), Names{});
    EXPECT_EQ(manufacturersOfType(*db, AnyType, 2), (Names{"A", "B"}));
}

TEST(ChipQueries, ExactNamesAndIdsFindTheFirstRecord) {
    auto first = chip("EN25T80", "EON");
    auto second = chip("EN25T80", "OTHER");
    auto sameIds = chip("EN25Q80", "EON");
    auto db = databaseOf({first, second, sameIds});
    ChipRecord out;
    ASSERT_TRUE(findByName(*db, "EN25T80", out));
    EXPECT_EQ(out, first);

    ChipRecord untouched = chip("KEEP");
    out = untouched;
    EXPECT_FALSE(findByName(*db, "en25t80", out));
    EXPECT_FALSE(findByName(*db, "EN25T8", out));
    EXPECT_FALSE(findByName(*db, "EN25T800", out));
    EXPECT_EQ(out, untouched);

    ASSERT_TRUE(findByIds(*db, 0x1C, 0x13, out));
    EXPECT_EQ(out, first);
    EXPECT_FALSE(findByIds(*db, 0x1C, 0x14, out));
}

TEST(ChipQueries, ByManufacturerAndType) {
    auto db = databaseOf(
        {chip("a", "X"), chip("b", "Y"), chip("c", "X", Eeprom24), chip("d", "X", SpiFlash)});
    EXPECT_EQ(namesOf(findByManufacturer(*db, "X")), (Names{"a", "c", "d"}));
    EXPECT_EQ(namesOf(findByManufacturerAndType(*db, "X", SpiFlash)), (Names{"a", "d"}));
    EXPECT_EQ(namesOf(findByManufacturerAndType(*db, "X", AnyType)), (Names{"a", "c", "d"}));
    EXPECT_EQ(namesOf(findByManufacturer(*db, "X", 2)), (Names{"a", "c"}));
    EXPECT_TRUE(findByManufacturer(*db, "x").empty());
}

TEST(ChipQueries, PatternPartsAreFoundInOrderWithoutOverlap) {
    auto db = databaseOf({chip("EN25T80"), chip("XEN25Q80A"), chip("EN80T25"), chip("W80Q80"),
                          chip("W80Q"), chip("AT24C02", "ATMEL", Eeprom24)});
    auto search = [&](std::string_view pattern, int type = AnyType) {
        return namesOf(searchByPattern(*db, pattern, type).chips);
    };
    EXPECT_EQ(search("EN25*80"), (Names{"EN25T80", "XEN25Q80A"}));
    EXPECT_EQ(search("25**80"), search("25*80"));
    EXPECT_EQ(search("80*80"), (Names{"W80Q80"}));
    EXPECT_EQ(search("Q80"), (Names{"XEN25Q80A", "W80Q80"}));
    EXPECT_EQ(search("q80"), Names{}) << "the caller folds case, the search does not";
    for (std::string_view everything : {"", "*", "***"}) {
        EXPECT_EQ(search(everything).size(), 6u) << everything;
    }
    EXPECT_EQ(search("*", Eeprom24), (Names{"AT24C02"}));
    EXPECT_EQ(search("?"), Names{}) << "no other wildcard";
    EXPECT_EQ(search(std::string(40, 'W')), Names{});
}

TEST(ChipQueries, PatternSearchStoresAtMostTheCapacityButCountsAll) {
    std::vector<ChipRecord> chips;
    for (int i = 0; i < 1500; ++i)
        chips.push_back(chip("C" + std::to_string(i)));
    auto db = databaseOf(chips);
    PatternMatches matches = searchByPattern(*db, "C", AnyType);
    EXPECT_EQ(matches.total, 1500u);
    ASSERT_EQ(matches.chips.size(), kSearchResultCapacity);
    EXPECT_EQ(matches.chips.back().nameBytes(), "C1023");
}

TEST(ChipQueries, SplitAndFindFrom) {
    EXPECT_EQ(splitPattern("**AB***C*"), (std::vector<std::string_view>{"AB", "C"}));
    EXPECT_TRUE(splitPattern("***").empty());
    std::string many;
    for (int i = 0; i < 30; ++i)
        many += "x*";
    EXPECT_EQ(splitPattern(many).size(), kMaxPatternParts);
    EXPECT_EQ(findFrom("W80Q80", "80", 0), 1u);
    EXPECT_EQ(findFrom("W80Q80", "80", 3), 4u);
    EXPECT_EQ(findFrom("W80Q80", "80", 5), std::string_view::npos);
    EXPECT_EQ(findFrom("AB", "", 2), 2u);
}

TEST(ChipQueries, TypeTexts) {
    EXPECT_EQ(typeText(SpiFlash), "SPI FLASH");
    EXPECT_EQ(typeText(Eeprom93), "93 EEPROM");
    EXPECT_EQ(typeText(7), "UNKNOWN");
    EXPECT_EQ(typeText(-1), "UNKNOWN");
    EXPECT_EQ(typeFromText("24 EEPROM"), Eeprom24);
    EXPECT_EQ(typeFromText("SPI flash"), AnyType);
    EXPECT_EQ(typeFromText("UNKNOWN"), AnyType);
}

TEST(ChipQueries, CapacityTextForEveryRowOfItsTable) {
    auto with = [](std::int32_t type, std::uint32_t n, std::uint8_t org) {
        ChipRecord c = chip("x", "y", type, n);
        c.organisation = org;
        return capacityText(c);
    };
    EXPECT_EQ(with(Eeprom93, 128, 8), "128 x8bit");
    EXPECT_EQ(with(Eeprom93, 1024, 8), "1K x8bit");
    EXPECT_EQ(with(Eeprom93, 128, 16), "64 x16bit");
    EXPECT_EQ(with(Eeprom93, 2047, 16), "1023 x16bit");
    EXPECT_EQ(with(Eeprom93, 2048, 16), "1K x16bit");
    EXPECT_EQ(with(SpiFlash, 512, 8), "512B");
    EXPECT_EQ(with(SpiFlash, 1536, 8), "1KB");
    EXPECT_EQ(with(Eeprom24, 1048576, 16), "1024KB") << "organisation counts only for 93-series";
    EXPECT_EQ(with(SpiFlash, 0x1000000, 8), "16384KB");
}

TEST(ChipQueries, AnEmptyDatabaseFindsNothing) {
    auto db = std::make_unique<ChipDatabase>();
    ChipRecord out;
    EXPECT_TRUE(manufacturersOfType(*db, AnyType).empty());
    EXPECT_FALSE(findByName(*db, "", out));
    EXPECT_FALSE(findByIds(*db, 0, 0, out));
    EXPECT_EQ(searchByPattern(*db, "", AnyType).total, 0u);
}

}  // namespace
