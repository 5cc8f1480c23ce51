// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/chip_database.h"

#include <gtest/gtest.h>
#include <memory>

#include "tests/support/chip_test_support.h"
#include "tests/support/temp_dir.h"

using catalogue::ChipDatabase;
using catalogue::Keystream;
using catalogue::loadDatabase;
using testsupport::chip;
using testsupport::TempDir;

namespace {

std::string asText(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(Keystream, MatchesHandComputedOutputs) {
    // state = state * 16807 mod 2^32, masked to 31 bits; output low byte of
    // state + state >> 16. The fourth step overflows 31 bits and is masked.
    Keystream stream(1);
    for (int expected : {0xA7, 0xC7, 0xEE, 0x5F, 0xD7, 0xC9})
        EXPECT_EQ(stream.next(), expected);
    // Only the seed's low 16 bits count.
    Keystream a(0x14357), b(catalogue::kKeystreamSeed);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(a.next(), b.next());
}

TEST(Keystream, ScrambleAndDescrambleAreInverse) {
    std::vector<std::uint8_t> bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    auto copy = bytes;
    Keystream s1, s2;
    catalogue::scramble(copy, s1);
    EXPECT_NE(copy, bytes);
    catalogue::descramble(copy, s2);
    EXPECT_EQ(copy, bytes);
}

// One record typed out from the file layout, not made by encodeRecord: the encoder
// and the decoder could agree on a wrong offset, the file format cannot. Every field
// holds a value no other field holds, so a field read from another's place shows.
TEST(ChipRecordLayout, AHandTypedRecordIsReadFieldByField) {
    std::vector<std::uint8_t> record;
    auto put = [&](std::initializer_list<std::uint8_t> bytes) {
        record.insert(record.end(), bytes);
    };
    auto putText = [&](std::string_view text, std::size_t width) {
        record.insert(record.end(), text.begin(), text.end());
        record.resize(record.size() + width - text.size(), 0);
    };
    put({0x02, 0x00, 0x00, 0x00});  //  0 type: 25-series EEPROM
    putText("AT25010", 40);         //  4 name
    putText("ATMEL", 20);           // 44 manufacturer
    put({0x11, 0x2A, 0xEE, 0xEE});  // 64 spare, 65 level, 66 reserved
    put({0xAC, 0xBC, 0x0A, 0x00});  // 68 capacity 0x000ABCAC, 0x97 pages
    put({0x07, 0x00, 0x00, 0x00});  // 72 pageWrite
    put({0x34, 0x12});              // 76 pageSize 0x1234
    put({0x1F, 0x45, 0x03, 0x10});  // 78 manufacturerId, 79 deviceId, 80 mode93, 81 organisation
    record.resize(catalogue::kRecordBytes, 0x5A);  // 82 reserved
    ASSERT_EQ(record.size(), 108u);

    catalogue::ChipRecord expected;
    expected.type = catalogue::Eeprom25;
    catalogue::setField(expected.name, "AT25010");
    catalogue::setField(expected.manufacturer, "ATMEL");
    expected.spare = 0x11;
    expected.level = 0x2A;
    expected.capacity = 0x000ABCAC;
    expected.pageWrite = 7;
    expected.pageSize = 0x1234;
    expected.manufacturerId = 0x1F;
    expected.deviceId = 0x45;
    expected.mode93 = 0x03;
    expected.organisation = 0x10;
    EXPECT_EQ(catalogue::decodeRecord(std::span<const std::uint8_t, 108>(record.data(), 108)),
              expected);

    // The same record in a file: header count 1 and the bytes' sum, all scrambled.
    std::vector<std::uint8_t> file(catalogue::kHeaderBytes, 0);
    file[0] = 1;
    for (std::uint8_t b : record)
        file[2] = static_cast<std::uint8_t>(file[2] + b);
    file.insert(file.end(), record.begin(), record.end());
    Keystream stream;
    catalogue::scramble(file, stream);
    TempDir dir;
    testsupport::writeFile(dir.file("one.cwdb"), asText(file));
    auto db = std::make_unique<ChipDatabase>();
    ASSERT_TRUE(loadDatabase(dir.file("one.cwdb"), *db));
    ASSERT_EQ(db->count(), 1);
    EXPECT_EQ(db->records[0], expected);
}

class DatabaseFile : public ::testing::Test {
  protected:
    void SetUp() override {
        chips = {chip("EN25T80"),
                 chip("W25Q64JV", "WINBOND", catalogue::SpiFlash, 0x800000, 0xEF, 0x16),
                 chip("AT24C02", "ATMEL", catalogue::Eeprom24, 256, 0xFF, 0xFF)};
        image = catalogue::buildDatabaseImage(chips);
        db = std::make_unique<ChipDatabase>();
    }
    bool load(const std::vector<std::uint8_t>& bytes) {
        testsupport::writeFile(dir.file("chips.cwdb"), asText(bytes));
        return loadDatabase(dir.file("chips.cwdb"), *db);
    }
    // Fills the database with something, so a failed load must clear it.
    void dirty() { ASSERT_TRUE(load(image)); }

    TempDir dir;
    std::vector<catalogue::ChipRecord> chips;
    std::vector<std::uint8_t> image;
    std::unique_ptr<ChipDatabase> db;
};

TEST_F(DatabaseFile, LoadsWhatWasBuiltAndIgnoresTrailingBytes) {
    ASSERT_EQ(image.size(), 100u + 3 * 108u);
    ASSERT_TRUE(load(image));
    ASSERT_EQ(db->count(), 3);
    EXPECT_EQ(db->records[0], chips[0]);
    EXPECT_EQ(db->records[2], chips[2]);
    auto longer = image;
    longer.insert(longer.end(), {1, 2, 3});
    EXPECT_TRUE(load(longer));
    EXPECT_EQ(db->count(), 3);
}

TEST_F(DatabaseFile, RecordsContinueTheHeadersKeystream) {
    // Records scrambled with a freshly seeded stream must not load.
    std::vector<std::uint8_t> plainRecords;
    std::uint8_t sum = 0;
    for (const auto& c : chips) {
        auto r = catalogue::encodeRecord(c);
        plainRecords.insert(plainRecords.end(), r.begin(), r.end());
        for (auto b : r)
            sum = static_cast<std::uint8_t>(sum + b);
    }
    std::vector<std::uint8_t> header(100, 0);
    header[0] = 3;
    header[2] = sum;
    Keystream headerStream, recordStream;
    catalogue::scramble(header, headerStream);
    catalogue::scramble(plainRecords, recordStream);
    header.insert(header.end(), plainRecords.begin(), plainRecords.end());
    EXPECT_FALSE(load(header));
}

TEST_F(DatabaseFile, AnEmptyDatabaseIsValid) {
    auto empty = catalogue::buildDatabaseImage({});
    ASSERT_EQ(empty.size(), 100u);
    dirty();
    EXPECT_TRUE(load(empty));
    EXPECT_EQ(db->count(), 0);
    EXPECT_EQ(db->records[0], catalogue::ChipRecord{});
}

TEST_F(DatabaseFile, EveryFailureLeavesAnAllZeroDatabase) {
    auto expectCleared = [&](const char* what) {
        EXPECT_EQ(db->count(), 0) << what;
        EXPECT_EQ(db->records[0], catalogue::ChipRecord{}) << what;
        EXPECT_EQ(db->records[1], catalogue::ChipRecord{}) << what;
    };
    dirty();
    EXPECT_FALSE(loadDatabase(dir.file("missing"), *db));
    expectCleared("missing file");

    dirty();
    EXPECT_FALSE(loadDatabase(dir.path(), *db));
    expectCleared("a folder");

    dirty();
    EXPECT_FALSE(load(std::vector<std::uint8_t>(image.begin(), image.begin() + 99)));
    expectCleared("short header");

    dirty();
    EXPECT_FALSE(load(std::vector<std::uint8_t>(image.begin(), image.end() - 1)));
    expectCleared("one record byte short");

    for (std::size_t at : {std::size_t{100}, std::size_t{150}, image.size() - 1}) {
        dirty();
        auto corrupt = image;
        corrupt[at] ^= 0x01;
        EXPECT_FALSE(load(corrupt)) << at;
        expectCleared("corrupted record byte");
    }

    // A count over 2000 with enough bytes behind it is still refused.
    dirty();
    std::vector<std::uint8_t> header(100, 0);
    header[0] = 2001 & 0xFF;
    header[1] = 2001 >> 8;
    Keystream s;
    catalogue::scramble(header, s);
    header.resize(100 + 2001 * 108, 0);
    EXPECT_FALSE(load(header));
    expectCleared("count over 2000");
}

// A file with a sound checksum is still refused whole when one record could not be used:
// a capacity beyond the 16 MB buffer let a chip read overrun it, a capacity of 0 made
// every command succeed at nothing.
TEST_F(DatabaseFile, OneUnsoundRecordRefusesTheWholeFile) {
    using catalogue::ChipRecord;
    const std::vector<std::pair<const char*, void (*)(ChipRecord&)>> breakages = {
        {"capacity 64 MiB", [](ChipRecord& c) { c.capacity = 0x04000000; }},
        {"capacity 0", [](ChipRecord& c) { c.capacity = 0; }},
        {"unknown type", [](ChipRecord& c) { c.type = catalogue::AnyType; }},
        {"unterminated name", [](ChipRecord& c) { c.name.fill('N'); }},
        {"empty manufacturer", [](ChipRecord& c) { c.manufacturer.fill('\0'); }},
        {"page size 0", [](ChipRecord& c) { c.pageSize = 0; }},
        {"page size 65535", [](ChipRecord& c) { c.pageSize = 65535; }},
        {"organisation 12", [](ChipRecord& c) { c.organisation = 12; }},
        {"duplicate name", [](ChipRecord& c) { c.name = chip("EN25T80").name; }},
    };
    for (const auto& [what, breakRecord] : breakages) {
        auto broken = chips;
        breakRecord(broken[1]);
        dirty();
        EXPECT_FALSE(load(catalogue::buildDatabaseImage(broken))) << what;
        EXPECT_EQ(db->count(), 0) << what;
        EXPECT_EQ(db->records[0], ChipRecord{}) << what;
    }
}

TEST_F(DatabaseFile, OnlyTheFirstThreeHeaderBytesMatter) {
    auto changed = image;
    changed[50] ^= 0xFF;
    ASSERT_TRUE(load(changed));
    EXPECT_EQ(db->count(), 3);
    EXPECT_EQ(db->records[1], chips[1]);
}

}  // namespace
