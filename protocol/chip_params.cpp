// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/chip_params.h"

namespace protocol {
namespace {

constexpr std::uint8_t kLevelFlagAbove = 40;

constexpr std::uint8_t kSpiFlashMode = 3;
// A 24-series chip with this device ID byte uses its own mode whatever its size.
constexpr std::uint8_t kEeprom24SpecialDeviceId = 0xFE;
constexpr std::uint8_t kEeprom24SpecialMode = 4;
constexpr std::uint32_t kEeprom24SmallCapacity = 2048;
constexpr std::uint8_t kEeprom24SmallMode = 20;
constexpr std::uint8_t kEeprom24LargeMode = 36;
constexpr std::uint32_t kEeprom25SmallCapacity = 512;
constexpr std::uint8_t kEeprom25SmallMode = 1;
constexpr std::uint8_t kEeprom25LargeMode = 17;
constexpr std::uint8_t kEeprom93ModeStep = 16;
constexpr std::uint8_t kEeprom93ModeBase = 8;
constexpr std::uint8_t kOrganisation8Bit = 8;
constexpr std::uint8_t kOrg8 = 3;
constexpr std::uint8_t kOrg16 = 1;

}  // namespace

ChipParams& chipParams() {
    static ChipParams params;
    return params;
}

bool applyChip(ChipParams& params, const catalogue::ChipRecord& chip) {
    const catalogue::ChipTypeName* known = catalogue::findChipType(chip.type);
    if (known == nullptr)
        return false;
    const std::uint8_t levelFlag = chip.level > kLevelFlagAbove ? 1 : 0;
    // No default: the compiler names a chip type that has no case here.
    switch (known->type) {
        case catalogue::SpiFlash:
            params.mode = kSpiFlashMode;
            params.levelFlag = 0;
            break;
        case catalogue::Eeprom24:
            if (chip.deviceId == kEeprom24SpecialDeviceId) {
                params.mode = kEeprom24SpecialMode;
            } else if (chip.capacity <= kEeprom24SmallCapacity) {
                params.mode = kEeprom24SmallMode;
            } else {
                params.mode = kEeprom24LargeMode;
            }
            params.levelFlag = levelFlag;
            break;
        case catalogue::Eeprom25:
            params.mode =
                chip.capacity <= kEeprom25SmallCapacity ? kEeprom25SmallMode : kEeprom25LargeMode;
            params.levelFlag = levelFlag;
            break;
        case catalogue::Eeprom93:
            params.mode =
                static_cast<std::uint8_t>(chip.mode93 * kEeprom93ModeStep + kEeprom93ModeBase);
            params.org = chip.organisation == kOrganisation8Bit ? kOrg8 : kOrg16;
            params.levelFlag = levelFlag;
            break;
        case catalogue::AnyType:  // a query key, never a chip's type
            return false;
    }
    params.kind = static_cast<std::uint8_t>(chip.type + 1);
    return true;
}

}  // namespace protocol
