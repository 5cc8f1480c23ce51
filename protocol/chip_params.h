// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The five chip parameter bytes that every chip command carries, derived from the
// selected chip. Process-wide: set by Programmer::setChip, read when a packet is built.

#include <cstdint>

#include "catalogue/chip_record.h"

namespace protocol {

struct ChipParams {
    std::uint8_t kind = 0;       // chip family: ChipType + 1
    std::uint8_t mode = 0;       // addressing mode byte
    std::uint8_t org = 0;        // 93-series organisation: 3 for 8-bit, 1 for 16-bit
    std::uint8_t levelFlag = 0;  // 1 when the chip's level is above 40
    std::uint8_t reserved = 0;   // never set

    bool operator==(const ChipParams&) const = default;
};

ChipParams& chipParams();

// Sets `params` for `chip`; false (and `params` untouched) for an unknown chip type.
// `org` is written only for 93-series chips, so it keeps the last 93-series chip's code
// while other chips are selected.
bool applyChip(ChipParams& params, const catalogue::ChipRecord& chip);

}  // namespace protocol
