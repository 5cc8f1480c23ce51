// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/chip_record.h"

#include <algorithm>
#include <cstring>

#include "util/text_codec.h"

namespace catalogue {
namespace {

template <std::size_t N>
std::string_view fieldBytes(const std::array<char, N>& field) {
    return std::string_view(field.data(), strnlen(field.data(), N));
}

template <std::size_t N>
bool storeField(std::array<char, N>& field, std::string_view bytes) {
    if (bytes.size() >= N || bytes.find('\0') != std::string_view::npos)
        return false;
    field.fill('\0');
    std::copy(bytes.begin(), bytes.end(), field.begin());
    return true;
}

// Why a text field cannot be used, or "": it must hold at least one byte and end
// with its zero inside the field, as the file stores it and setField makes it.
template <std::size_t N>
std::string fieldProblem(const std::array<char, N>& field, const char* what) {
    const std::size_t length = strnlen(field.data(), N);
    if (length == 0)
        return std::string("empty ") + what;
    if (length == N) {
        return std::string(what) + " has no terminating zero in its " + std::to_string(N) +
               " bytes";
    }
    return {};
}

}  // namespace

std::string_view ChipRecord::nameBytes() const {
    return fieldBytes(name);
}
std::string_view ChipRecord::manufacturerBytes() const {
    return fieldBytes(manufacturer);
}
std::string ChipRecord::nameText() const {
    return util::gbkToUtf8(nameBytes());
}
std::string ChipRecord::manufacturerText() const {
    return util::gbkToUtf8(manufacturerBytes());
}

bool setField(std::array<char, kNameBytes>& field, std::string_view bytes) {
    return storeField(field, bytes);
}
bool setField(std::array<char, kManufacturerBytes>& field, std::string_view bytes) {
    return storeField(field, bytes);
}

std::string recordProblem(const ChipRecord& chip) {
    if (findChipType(chip.type) == nullptr)
        return "unknown type " + std::to_string(chip.type);
    if (std::string problem = fieldProblem(chip.name, "name"); !problem.empty())
        return problem;
    if (std::string problem = fieldProblem(chip.manufacturer, "manufacturer"); !problem.empty())
        return problem;
    if (chip.capacity == 0 || chip.capacity > kMaxChipCapacity) {
        return "capacity " + std::to_string(chip.capacity) + " is not between 1 and 16 MiB";
    }
    // Without paged writes the page size is not used: the chip is written a byte at a time.
    if (chip.pageWrite != 0 && (chip.pageSize == 0 || chip.capacity % chip.pageSize != 0)) {
        return "page size " + std::to_string(chip.pageSize) + " does not divide the capacity";
    }
    if (chip.organisation != 8 && chip.organisation != 16) {
        return "organisation " + std::to_string(chip.organisation) + " is not 8 or 16";
    }
    return {};
}

}  // namespace catalogue
