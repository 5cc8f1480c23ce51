// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/packets.h"

#include <cstring>

namespace protocol {
namespace {

void putBigEndian32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::array<std::uint8_t, kReadChipBytes> readChipPacket(const ChipParams& params,
                                                        std::uint32_t address,
                                                        std::uint32_t length) {
    std::array<std::uint8_t, kReadChipBytes> p{};
    p[0] = kReadChipCommand;
    p[1] = kReadChipTag;
    p[2] = params.kind;
    putBigEndian32(&p[3], address);
    putBigEndian32(&p[7], length);
    p[11] = params.mode;
    p[12] = params.org;
    p[13] = params.levelFlag;
    p[14] = params.reserved;
    return p;
}

std::array<std::uint8_t, kWriteChipBytes> writeChipPacket(const ChipParams& params,
                                                          std::uint32_t address,
                                                          std::uint32_t length,
                                                          std::uint16_t pageSize) {
    std::array<std::uint8_t, kWriteChipBytes> p{};
    p[0] = kWriteChipCommand;
    p[1] = kWriteChipTag;
    p[2] = params.kind;
    putBigEndian32(&p[3], address);
    putBigEndian32(&p[7], length);
    p[11] = static_cast<std::uint8_t>(pageSize >> 8);
    p[12] = static_cast<std::uint8_t>(pageSize);
    p[13] = params.mode;
    p[14] = params.org;
    p[15] = params.levelFlag;
    p[16] = params.reserved;
    return p;
}

std::array<std::uint8_t, kShortChipCommandBytes> queryBusyPacket(const ChipParams& params) {
    return {kQueryBusyCommand, kQueryBusyTag, params.kind};
}

std::array<std::uint8_t, kShortChipCommandBytes> eraseChipPacket(const ChipParams& params) {
    return {kEraseChipCommand, kEraseChipTag, params.kind};
}

std::array<std::uint8_t, kShortChipCommandBytes> readIdsPacket(const ChipParams& params) {
    return {kReadIdsCommand, kReadIdsTag, params.kind};
}

std::array<std::uint8_t, kServiceCommandBytes> firmwareVersionPacket() {
    return {kFirmwareVersionCommand, kFirmwareVersionTag};
}

std::array<std::uint8_t, kServiceCommandBytes> selfTestPacket() {
    return {kSelfTestCommand, kSelfTestTag};
}

std::array<std::uint8_t, kBootCommandBytes> bootCommandPacket(std::uint32_t imageLength) {
    std::array<std::uint8_t, kBootCommandBytes> p{};
    p[0] = kBootCommand;
    std::memcpy(&p[1], kBootText, kBootTextBytes);
    p[17] = 0x00;
    putBigEndian32(&p[kBootLengthAt], imageLength);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < kBootChecksumAt; ++i)
        sum = static_cast<std::uint8_t>(sum + p[i]);
    p[kBootChecksumAt] = static_cast<std::uint8_t>(0x100 - sum);
    return p;
}

}  // namespace protocol
