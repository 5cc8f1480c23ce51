// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Searches over the loaded chip database: by type and manufacturer (the chip
// selection panel), by exact name, by identification bytes (chip detection),
// and by a '*' wildcard pattern (the search dialog); and the texts the lists
// show for a chip's type and capacity.
//
// Results come in file order. Names are compared as the file's bytes, case-
// sensitive; callers convert UTF-8 input to GBK and fold case themselves. Each
// list query stores at most the caller's `capacity` results.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/chip_database.h"

namespace catalogue {

// What the callers' lists hold.
constexpr std::size_t kManufacturerListCapacity = 128;
constexpr std::size_t kChipListCapacity = 2000;
constexpr std::size_t kSearchResultCapacity = 1024;

// The pattern split keeps at most this many parts of at most this many bytes.
constexpr std::size_t kMaxPatternParts = 20;
constexpr std::size_t kMaxPatternPartBytes = 49;

// Distinct manufacturers (as stored bytes) of the chips the type key admits, in
// order of first appearance.
std::vector<std::string> manufacturersOfType(const ChipDatabase& db, int typeKey,
                                             std::size_t capacity = kManufacturerListCapacity);

// The first chip named exactly `name`; false (and `out` untouched) when none is.
bool findByName(const ChipDatabase& db, std::string_view name, ChipRecord& out);

std::vector<ChipRecord> findByManufacturer(const ChipDatabase& db, std::string_view manufacturer,
                                           std::size_t capacity = kChipListCapacity);

std::vector<ChipRecord> findByManufacturerAndType(const ChipDatabase& db,
                                                  std::string_view manufacturer, int typeKey,
                                                  std::size_t capacity = kChipListCapacity);

// The first chip with both identification bytes; false when none has them.
bool findByIds(const ChipDatabase& db, std::uint8_t manufacturerId, std::uint8_t deviceId,
               ChipRecord& out);

// Every chip with both identification bytes, in file order.
std::vector<ChipRecord> findAllByIds(const ChipDatabase& db, std::uint8_t manufacturerId,
                                     std::uint8_t deviceId);

struct PatternMatches {
    std::vector<ChipRecord> chips;  // at most the capacity
    std::size_t total = 0;          // every match, also those not stored
};

// Chips whose name holds the pattern's '*'-separated parts in order, anywhere
// (not anchored). A pattern without parts matches every admitted chip.
PatternMatches searchByPattern(const ChipDatabase& db, std::string_view pattern, int typeKey,
                               std::size_t capacity = kSearchResultCapacity);

std::vector<std::string_view> splitPattern(std::string_view pattern);

// Position of the first occurrence of `part` in `name` at or after `start`, or
// std::string_view::npos.
std::size_t findFrom(std::string_view name, std::string_view part, std::size_t start);

// The type's text in kChipTypes ("SPI FLASH", "24 EEPROM", "25 EEPROM", "93 EEPROM");
// "UNKNOWN" for any other value.
std::string typeText(int type);
// The inverse of typeText for the texts of kChipTypes, compared exactly; AnyType
// otherwise.
int typeFromText(std::string_view text);

// The capacity as the search list shows it: "512B", "1024KB", "64 x16bit", "1K x8bit".
std::string capacityText(const ChipRecord& chip);

}  // namespace catalogue
