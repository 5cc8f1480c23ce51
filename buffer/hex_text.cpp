// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer/hex_text.h"

#include "util/hex_digit.h"

namespace buffer {
namespace {

constexpr unsigned kDigitBits = 4;
constexpr std::uint32_t kTopDigitMask = 0xF0000000u;

}  // namespace

int firstNonHex(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (util::hexDigitValue(text[i]) == util::kNotHexDigit)
            return static_cast<int>(i);
    }
    return -1;
}

bool parseHex(std::string_view text, std::uint32_t* value) {
    std::uint32_t result = 0;
    for (char c : text) {
        int digit = util::hexDigitValue(c);
        if (digit == util::kNotHexDigit)
            return false;
        // Leading zeros are fine; a ninth significant digit would be lost.
        if (result & kTopDigitMask)
            return false;
        result = (result << kDigitBits) | static_cast<std::uint32_t>(digit);
    }
    *value = result;
    return true;
}

}  // namespace buffer
