// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/packets.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "protocol/chip_params.h"
#include "protocol/programmer.h"
#include "tests/support/sim_rig.h"

using protocol::ChipParams;

namespace {

template <std::size_t N>
std::vector<std::uint8_t> asVector(const std::array<std::uint8_t, N>& a) {
    return {a.begin(), a.end()};
}

ChipParams params(std::uint8_t kind, std::uint8_t mode, std::uint8_t org, std::uint8_t level) {
    ChipParams p;
    p.kind = kind;
    p.mode = mode;
    p.org = org;
    p.levelFlag = level;
    return p;
}

}  // namespace

TEST(Packets, ChipCommandsHaveTheirExactBytes) {
    EXPECT_EQ(asVector(protocol::readChipPacket(params(1, 3, 0, 0), 0, 0x100000)),
              (std::vector<std::uint8_t>{0x11, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                         0x00, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(
        asVector(protocol::writeChipPacket(params(4, 0x78, 1, 1), 0x01020304, 0x0A0B0C0D, 256)),
        (std::vector<std::uint8_t>{0x12, 0x0C, 0x04, 0x01, 0x02, 0x03, 0x04, 0x0A, 0x0B, 0x0C, 0x0D,
                                   0x01, 0x00, 0x78, 0x01, 0x01, 0x00}));
    const auto pageOfOne = protocol::writeChipPacket(params(2, 20, 0, 0), 0, 128, 1);
    EXPECT_EQ(pageOfOne[11], 0x00);
    EXPECT_EQ(pageOfOne[12], 0x01);
    const ChipParams p = params(3, 17, 0, 0);
    EXPECT_EQ(asVector(protocol::queryBusyPacket(p)), (std::vector<std::uint8_t>{0x13, 0x00, 3}));
    EXPECT_EQ(asVector(protocol::eraseChipPacket(p)), (std::vector<std::uint8_t>{0x14, 0x01, 3}));
    EXPECT_EQ(asVector(protocol::readIdsPacket(p)), (std::vector<std::uint8_t>{0x15, 0x00, 3}));
    EXPECT_EQ(asVector(protocol::firmwareVersionPacket()), (std::vector<std::uint8_t>{0x17, 0x00}));
    EXPECT_EQ(asVector(protocol::selfTestPacket()), (std::vector<std::uint8_t>{0xF3, 0x00}));
}

TEST(Packets, BootCommandCarriesLengthAndAZeroSum) {
    for (std::uint32_t length : {0x10000u, 0x40000u, 0x1u, 0xFFFFFFFFu}) {
        const auto p = protocol::bootCommandPacket(length);
        EXPECT_EQ(p[0], 0xF2);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[1]), 16), "USB BOOT COMMAND");
        EXPECT_EQ(p[17], 0x00);
        EXPECT_EQ(p[18], static_cast<std::uint8_t>(length >> 24));
        EXPECT_EQ(p[21], static_cast<std::uint8_t>(length));
        EXPECT_EQ(std::accumulate(p.begin(), p.end(), 0u) % 256, 0u);
    }
    const auto p = protocol::bootCommandPacket(0x10000);
    EXPECT_EQ((std::vector<std::uint8_t>{p[18], p[19], p[20], p[21]}),
              (std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x00}));
}

TEST(SetChip, GivesEveryRowOfTheParameterTable) {
    using catalogue::ChipRecord;
    using testsupport::chipOf;
    protocol::Programmer programmer;
    ChipParams& current = protocol::chipParams();
    current = {};

    ChipRecord spi = chipOf(catalogue::SpiFlash, 0x100000);
    spi.level = 50;  // the level flag is never set for SPI flash
    ASSERT_EQ(programmer.setChip(spi), 1);
    EXPECT_EQ(current, params(1, 3, 0, 0));

    ChipRecord e24 = chipOf(catalogue::Eeprom24, 2048);
    e24.deviceId = 0x00;
    e24.level = 41;
    ASSERT_EQ(programmer.setChip(e24), 1);
    EXPECT_EQ(current, params(2, 20, 0, 1));
    e24.capacity = 4096;
    e24.level = 40;
    programmer.setChip(e24);
    EXPECT_EQ(current, params(2, 36, 0, 0));
    e24.deviceId = 0xFE;  // decides before the capacity does
    programmer.setChip(e24);
    EXPECT_EQ(current.mode, 4);
    e24.capacity = 128;
    programmer.setChip(e24);
    EXPECT_EQ(current.mode, 4);

    ChipRecord e25 = chipOf(catalogue::Eeprom25, 512);
    programmer.setChip(e25);
    EXPECT_EQ(current, params(3, 1, 0, 0));
    e25.capacity = 1024;
    programmer.setChip(e25);
    EXPECT_EQ(current, params(3, 17, 0, 0));

    ChipRecord e93 = chipOf(catalogue::Eeprom93, 256);
    e93.mode93 = 7;
    e93.organisation = 16;
    e93.level = 255;
    programmer.setChip(e93);
    EXPECT_EQ(current, params(4, 0x78, 1, 1));
    e93.mode93 = 0x13;  // kept to 8 bits: 0x13 * 16 + 8 = 0x138
    e93.organisation = 8;
    programmer.setChip(e93);
    EXPECT_EQ(current, params(4, 0x38, 3, 1));
    e93.organisation = 16;
    programmer.setChip(e93);

    // org survives the selection of other chip types.
    programmer.setChip(spi);
    EXPECT_EQ(current, params(1, 3, 1, 0));

    // An unknown type is refused and changes nothing.
    ChipRecord unknown = chipOf(4, 1024);
    EXPECT_EQ(programmer.setChip(unknown), 0);
    unknown.type = -1;
    EXPECT_EQ(programmer.setChip(unknown), 0);
    EXPECT_EQ(current, params(1, 3, 1, 0));
}
