// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/chip_csv.h"

#include <gtest/gtest.h>

using catalogue::parseChipCsv;

namespace {

const std::string kHeader =
    "type,name,manufacturer,capacity,page_write,page_size,manufacturer_id,device_id,level,mode93,"
    "organisation\n";

TEST(ChipCsv, ReadsRowsAsGbkRecords) {
    auto table = parseChipCsv("# comment\n\n" + kHeader +
                              "SPI_FLASH,EN25T80,EON,1048576,1,256,0x1C,0x13,33,0,8\r\n"
                              "EEPROM93,93C46B,芯片厂,128,0,1,0xff,FF,50,2,16\n");
    ASSERT_TRUE(table.errors.empty()) << table.errors[0].reason;
    ASSERT_EQ(table.chips.size(), 2u);
    const auto& a = table.chips[0];
    EXPECT_EQ(a.nameBytes(), "EN25T80");
    EXPECT_EQ(a.capacity, 1048576u);
    EXPECT_EQ(a.pageSize, 256);
    EXPECT_EQ(a.manufacturerId, 0x1C);
    const auto& b = table.chips[1];
    EXPECT_EQ(b.type, catalogue::Eeprom93);
    EXPECT_EQ(b.manufacturerBytes(), "\xD0\xBE\xC6\xAC\xB3\xA7") << "stored as GBK";
    EXPECT_EQ(b.deviceId, 0xFF);
    EXPECT_EQ(b.mode93, 2);
    EXPECT_EQ(b.organisation, 16);
}

TEST(ChipCsv, RejectsBadRowsWithLineAndReason) {
    struct Case {
        std::string row;
        std::string reason;
    };
    const std::string chinese19 = "芯片芯片芯片芯片芯片";  // 10 characters, 20 GBK bytes
    const std::vector<Case> cases = {
        {"SPI FLASH,A,M,1024,1,256,0x1C,0x13,33,0,8", "unknown type"},
        {"SPI_FLASH," + std::string(40, 'N') + ",M,1024,1,256,0x1C,0x13,33,0,8", "over 39 bytes"},
        {"SPI_FLASH,A," + chinese19 + ",1024,1,256,0x1C,0x13,33,0,8", "over 19 bytes"},
        // "ä" and U+1F600 have no GBK code: stored as "?" they would name another chip.
        {"SPI_FLASH,Aä,M,1024,1,256,0x1C,0x13,33,0,8", "GBK cannot store"},
        {"SPI_FLASH,A,M\U0001F600,1024,1,256,0x1C,0x13,33,0,8", "GBK cannot store"},
        {"SPI_FLASH,A,M,0,1,256,0x1C,0x13,33,0,8", "capacity"},
        {"SPI_FLASH,A,M,16777217,1,1,0x1C,0x13,33,0,8", "capacity"},
        {"SPI_FLASH,A,M,1024,1,256,0x1G,0x13,33,0,8", "bad hex ID"},
        {"SPI_FLASH,A,M,1024,1,256,0x1C,0x113,33,0,8", "bad hex ID"},
        {"SPI_FLASH,A,M,1000,1,256,0x1C,0x13,33,0,8", "does not divide"},
        {"SPI_FLASH,A,M,1024,1,256,0x1C,0x13,33,0", "fields"},
    };
    for (const Case& c : cases) {
        auto table = parseChipCsv(kHeader + "SPI_FLASH,OK,M,1024,1,256,0x1C,0x13,33,0,8\n" + c.row);
        ASSERT_EQ(table.errors.size(), 1u) << c.row;
        EXPECT_EQ(table.errors[0].line, 3) << c.row;
        EXPECT_NE(table.errors[0].reason.find(c.reason), std::string::npos)
            << c.row << " -> " << table.errors[0].reason;
    }
    auto dup = parseChipCsv(kHeader +
                            "SPI_FLASH,A,M,1024,1,256,0x1C,0x13,33,0,8\n"
                            "EEPROM24,A,N,256,1,8,0xFF,0xFF,33,0,8\n");
    ASSERT_EQ(dup.errors.size(), 1u);
    EXPECT_NE(dup.errors[0].reason.find("duplicate"), std::string::npos);
    EXPECT_FALSE(parseChipCsv("SPI_FLASH,A,M,1024,1,256,0x1C,0x13,33,0,8\n").errors.empty())
        << "no header";
}

TEST(ChipCsv, RefusesMoreThan2000Chips) {
    std::string text = kHeader;
    for (int i = 0; i < 2001; ++i) {
        text += "SPI_FLASH,C" + std::to_string(i) + ",M,1024,1,256,0x1C,0x13,33,0,8\n";
    }
    auto table = parseChipCsv(text);
    ASSERT_EQ(table.errors.size(), 1u);
    EXPECT_EQ(table.errors[0].line, 2002);
    EXPECT_EQ(table.chips.size(), 2000u);
}

}  // namespace
