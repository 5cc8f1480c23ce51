// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command packets the host writes to the programmer, byte for byte. Numbers wider
// than a byte are big-endian. Chip commands carry the chip parameter bytes: `kind` at
// byte 2 and, in the two data commands, `mode`, `org`, `levelFlag` and `reserved` at the
// end.

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/chip_params.h"

namespace protocol {

constexpr std::uint8_t kReadChipCommand = 0x11;
constexpr std::uint8_t kWriteChipCommand = 0x12;
constexpr std::uint8_t kQueryBusyCommand = 0x13;
constexpr std::uint8_t kEraseChipCommand = 0x14;
constexpr std::uint8_t kReadIdsCommand = 0x15;
constexpr std::uint8_t kFirmwareVersionCommand = 0x17;
constexpr std::uint8_t kBootCommand = 0xF2;
constexpr std::uint8_t kSelfTestCommand = 0xF3;

// Byte 1 of each packet: a fixed value per command.
constexpr std::uint8_t kReadChipTag = 0x0A;
constexpr std::uint8_t kWriteChipTag = 0x0C;
constexpr std::uint8_t kQueryBusyTag = 0x00;
constexpr std::uint8_t kEraseChipTag = 0x01;
constexpr std::uint8_t kReadIdsTag = 0x00;
constexpr std::uint8_t kFirmwareVersionTag = 0x00;
constexpr std::uint8_t kSelfTestTag = 0x00;

constexpr std::size_t kReadChipBytes = 15;
constexpr std::size_t kWriteChipBytes = 17;
constexpr std::size_t kShortChipCommandBytes = 3;
constexpr std::size_t kServiceCommandBytes = 2;
constexpr std::size_t kBootCommandBytes = 23;

// Bytes 1..16 of the boot packet, no terminator inside.
constexpr char kBootText[] = "USB BOOT COMMAND";
constexpr std::size_t kBootTextBytes = 16;
constexpr std::size_t kBootLengthAt = 18;
constexpr std::size_t kBootChecksumAt = 22;

std::array<std::uint8_t, kReadChipBytes> readChipPacket(const ChipParams& params,
                                                        std::uint32_t address,
                                                        std::uint32_t length);
std::array<std::uint8_t, kWriteChipBytes> writeChipPacket(const ChipParams& params,
                                                          std::uint32_t address,
                                                          std::uint32_t length,
                                                          std::uint16_t pageSize);
std::array<std::uint8_t, kShortChipCommandBytes> queryBusyPacket(const ChipParams& params);
std::array<std::uint8_t, kShortChipCommandBytes> eraseChipPacket(const ChipParams& params);
std::array<std::uint8_t, kShortChipCommandBytes> readIdsPacket(const ChipParams& params);
std::array<std::uint8_t, kServiceCommandBytes> firmwareVersionPacket();
std::array<std::uint8_t, kServiceCommandBytes> selfTestPacket();
// Bytes 0..21 and a checksum that makes all 23 bytes add up to 0 modulo 256.
std::array<std::uint8_t, kBootCommandBytes> bootCommandPacket(std::uint32_t imageLength);

}  // namespace protocol
