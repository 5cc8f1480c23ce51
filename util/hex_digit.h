// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The value of one hexadecimal digit, either case, as typed by users and as
// written in device paths.

namespace util {

constexpr int kNotHexDigit = -1;

constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return kNotHexDigit;
}

}  // namespace util
