// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One chip as the rest of the program sees it: the selected chip, and what every
// chip query hands out. `name` and `manufacturer` keep the database file's bytes
// (GBK, zero-terminated inside the field) and are compared byte for byte; they
// are converted to UTF-8 only where they are shown or logged (see nameText()).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace catalogue {

enum ChipType : std::int32_t {
    SpiFlash = 0,
    Eeprom24 = 1,
    Eeprom25 = 2,
    Eeprom93 = 3,
    // Query key that admits every type; never stored in a record.
    AnyType = 4,
};

// Every chip type once: its stored value, its name in the CSV chip table
// (resources/chips.csv) and the text the program shows for it. The CSV reader,
// typeText/typeFromText and the chipdb tool take the names from here.
//
// A new chip type needs, besides a value above (before AnyType) and a row here:
//   - protocol/chip_params.cpp: its addressing mode and flags in applyChip (the
//     compiler's switch warning points there);
//   - sim/sim_programmer.cpp: the simulated firmware's own reading of it
//     (checkParameters) and how its memory takes a write; the simulator keeps
//     its own wire values on purpose and does not read this table;
//   - catalogue/chip_queries.cpp: capacityText, if its size is not counted in
//     bytes;
//   - resources/chips.csv: its chips.
struct ChipTypeName {
    ChipType type;
    std::string_view csvName;
    std::string_view text;
};

inline constexpr std::array<ChipTypeName, 4> kChipTypes = {{
    {SpiFlash, "SPI_FLASH", "SPI FLASH"},
    {Eeprom24, "EEPROM24", "24 EEPROM"},
    {Eeprom25, "EEPROM25", "25 EEPROM"},
    {Eeprom93, "EEPROM93", "93 EEPROM"},
}};

// The row of a stored type value; nullptr for a value that is no chip type.
constexpr const ChipTypeName* findChipType(std::int32_t type) {
    for (const ChipTypeName& row : kChipTypes) {
        if (row.type == type)
            return &row;
    }
    return nullptr;
}

constexpr std::size_t kNameBytes = 40;
constexpr std::size_t kManufacturerBytes = 20;
// The largest chip: the data buffer holds 16 MB, and every read and write of a chip
// goes through it.
constexpr std::uint32_t kMaxChipCapacity = 0x1000000;

struct ChipRecord {
    std::int32_t type = 0;
    std::array<char, kNameBytes> name{};
    std::array<char, kManufacturerBytes> manufacturer{};
    std::uint8_t spare = 0;
    // Supply level; above 40 it sets a flag of the programmer's parameter block
    // for 24-, 25- and 93-series chips.
    std::uint8_t level = 0;
    std::uint32_t capacity = 0;
    // Non-zero when writes go in pages of `pageSize`; zero means a page of 1.
    std::uint32_t pageWrite = 0;
    std::uint16_t pageSize = 0;
    std::uint8_t manufacturerId = 0;
    std::uint8_t deviceId = 0;
    std::uint8_t mode93 = 0;
    // Data width in bits, 8 or 16.
    std::uint8_t organisation = 0;

    // The stored bytes up to the terminating zero (or the whole field).
    std::string_view nameBytes() const;
    std::string_view manufacturerBytes() const;
    // The same as UTF-8, for showing and logging.
    std::string nameText() const;
    std::string manufacturerText() const;

    bool operator==(const ChipRecord&) const = default;
};

// Stores `bytes` (already GBK) in a fixed field, zero-filled; false when they do
// not fit with their terminating zero.
bool setField(std::array<char, kNameBytes>& field, std::string_view bytes);
bool setField(std::array<char, kManufacturerBytes>& field, std::string_view bytes);

// What makes `chip` unusable, or "" when it is sound: a type that is no chip type; a
// name or manufacturer that is empty or fills its field without a terminating zero; a
// capacity outside 1 … kMaxChipCapacity; paged writes whose page size does not divide
// the capacity; an organisation other than 8 or 16 bits. The CSV reader and the
// database loader both hold every record to these rules, so a record that reaches a
// chip operation was checked the same way whichever file it came from.
std::string recordProblem(const ChipRecord& chip);

}  // namespace catalogue
