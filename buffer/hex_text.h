// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Hexadecimal text as the buffer fill dialog takes it: digits 0-9, a-f and A-F
// only, no prefix, no sign, no blanks.

#include <cstdint>
#include <string_view>

namespace buffer {

// Index of the first character that is no hex digit; -1 when there is none.
int firstNonHex(std::string_view text);

// The value of text; false when a character is no hex digit or the value does
// not fit in 32 bits. An empty text is 0.
bool parseHex(std::string_view text, std::uint32_t* value);

}  // namespace buffer
