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

}  // namespace catalogue
