// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Building chip records for catalogue tests.

#include <cstdint>
#include <string_view>

#include "catalogue/chip_record.h"

namespace testsupport {

inline catalogue::ChipRecord chip(std::string_view name, std::string_view maker = "EON",
                                  std::int32_t type = catalogue::SpiFlash,
                                  std::uint32_t capacity = 0x100000, std::uint8_t mid = 0x1C,
                                  std::uint8_t did = 0x13) {
    catalogue::ChipRecord c;
    c.type = type;
    catalogue::setField(c.name, name);
    catalogue::setField(c.manufacturer, maker);
    c.capacity = capacity;
    c.pageWrite = 1;
    c.pageSize = 256;
    c.manufacturerId = mid;
    c.deviceId = did;
    c.level = 33;
    c.organisation = 8;
    return c;
}

}  // namespace testsupport
