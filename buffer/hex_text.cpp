#include "buffer/hex_text.h"

namespace buffer {
namespace {

constexpr int kNoDigit = -1;
constexpr unsigned kDigitBits = 4;
constexpr std::uint32_t kTopDigitMask = 0xF0000000u;

int digitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return kNoDigit;
}

}  // namespace

int firstNonHex(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (digitValue(text[i]) == kNoDigit)
            return static_cast<int>(i);
    }
    return -1;
}

bool parseHex(std::string_view text, std::uint32_t* value) {
    std::uint32_t result = 0;
    for (char c : text) {
        int digit = digitValue(c);
        if (digit == kNoDigit)
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
