// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/chip_queries.h"

#include <cstdio>

namespace catalogue {
namespace {

bool admits(int typeKey, const ChipRecord& chip) {
    return typeKey == AnyType || chip.type == typeKey;
}

// A name given by a caller ends at its first zero byte, like the stored ones.
std::string_view asStored(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

template <typename Pred>
std::vector<ChipRecord> collect(const ChipDatabase& db, std::size_t capacity, Pred pred) {
    std::vector<ChipRecord> out;
    for (const ChipRecord& chip : db.chips()) {
        if (out.size() >= capacity)
            break;
        if (pred(chip))
            out.push_back(chip);
    }
    return out;
}

}  // namespace

std::vector<std::string> manufacturersOfType(const ChipDatabase& db, int typeKey,
                                             std::size_t capacity) {
    std::vector<std::string> out;
    for (const ChipRecord& chip : db.chips()) {
        if (!admits(typeKey, chip))
            continue;
        std::string_view maker = chip.manufacturerBytes();
        bool known = false;
        for (const std::string& seen : out) {
            if (seen == maker) {
                known = true;
                break;
            }
        }
        if (known)
            continue;
        if (out.size() >= capacity)
            break;
        out.emplace_back(maker);
    }
    return out;
}

bool findByName(const ChipDatabase& db, std::string_view name, ChipRecord& out) {
    name = asStored(name);
    for (const ChipRecord& chip : db.chips()) {
        if (chip.nameBytes() == name) {
            out = chip;
            return true;
        }
    }
    return false;
}

std::vector<ChipRecord> findByManufacturer(const ChipDatabase& db, std::string_view manufacturer,
                                           std::size_t capacity) {
    return findByManufacturerAndType(db, manufacturer, AnyType, capacity);
}

std::vector<ChipRecord> findByManufacturerAndType(const ChipDatabase& db,
                                                  std::string_view manufacturer, int typeKey,
                                                  std::size_t capacity) {
    manufacturer = asStored(manufacturer);
    return collect(db, capacity, [&](const ChipRecord& chip) {
        return admits(typeKey, chip) && chip.manufacturerBytes() == manufacturer;
    });
}

bool findByIds(const ChipDatabase& db, std::uint8_t manufacturerId, std::uint8_t deviceId,
               ChipRecord& out) {
    for (const ChipRecord& chip : db.chips()) {
        if (chip.manufacturerId == manufacturerId && chip.deviceId == deviceId) {
            out = chip;
            return true;
        }
    }
    return false;
}

std::vector<ChipRecord> findAllByIds(const ChipDatabase& db, std::uint8_t manufacturerId,
                                     std::uint8_t deviceId) {
    std::vector<ChipRecord> found;
    for (const ChipRecord& chip : db.chips()) {
        if (chip.manufacturerId == manufacturerId && chip.deviceId == deviceId)
            found.push_back(chip);
    }
    return found;
}

std::vector<std::string_view> splitPattern(std::string_view pattern) {
    pattern = asStored(pattern);
    std::vector<std::string_view> parts;
    std::size_t pos = 0;
    while (pos < pattern.size() && parts.size() < kMaxPatternParts) {
        std::size_t star = pattern.find('*', pos);
        std::size_t end = star == std::string_view::npos ? pattern.size() : star;
        if (end > pos) {
            // A longer part is kept in full: cutting it would let it match names
            // the typed text does not fit. (No name is longer than 39 bytes, so
            // such a part simply finds nothing.)
            parts.push_back(pattern.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return parts;
}

std::size_t findFrom(std::string_view name, std::string_view part, std::size_t start) {
    for (std::size_t p = start; p + part.size() <= name.size(); ++p) {
        if (name.compare(p, part.size(), part) == 0)
            return p;
    }
    return std::string_view::npos;
}

PatternMatches searchByPattern(const ChipDatabase& db, std::string_view pattern, int typeKey,
                               std::size_t capacity) {
    const std::vector<std::string_view> parts = splitPattern(pattern);
    PatternMatches result;
    for (const ChipRecord& chip : db.chips()) {
        if (!admits(typeKey, chip))
            continue;
        std::string_view name = chip.nameBytes();
        std::size_t position = 0;
        bool fits = true;
        for (std::string_view part : parts) {
            std::size_t at = findFrom(name, part, position);
            if (at == std::string_view::npos) {
                fits = false;
                break;
            }
            position = at + part.size();
        }
        if (!fits)
            continue;
        ++result.total;
        if (result.chips.size() < capacity)
            result.chips.push_back(chip);
    }
    return result;
}

std::string typeText(int type) {
    const ChipTypeName* row = findChipType(type);
    return row != nullptr ? std::string(row->text) : "UNKNOWN";
}

int typeFromText(std::string_view text) {
    for (const ChipTypeName& row : kChipTypes) {
        if (text == row.text)
            return row.type;
    }
    return AnyType;
}

std::string capacityText(const ChipRecord& chip) {
    const long n = static_cast<long>(chip.capacity);
    char text[32];
    if (chip.type == Eeprom93 && chip.organisation == 8) {
        if (n < 1024) {
            std::snprintf(text, sizeof text, "%ld x8bit", n);
        } else {
            std::snprintf(text, sizeof text, "%ldK x8bit", n >> 10);
        }
    } else if (chip.type == Eeprom93) {
        // Counted in 16-bit words.
        if (n < 2048) {
            std::snprintf(text, sizeof text, "%ld x16bit", n >> 1);
        } else {
            std::snprintf(text, sizeof text, "%ldK x16bit", n >> 11);
        }
    } else if (n < 1024) {
        std::snprintf(text, sizeof text, "%ldB", n);
    } else {
        std::snprintf(text, sizeof text, "%ldKB", n >> 10);
    }
    return text;
}

}  // namespace catalogue
