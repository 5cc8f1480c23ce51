// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Conversion between the UTF-8 used everywhere inside the program and the GBK
// bytes of the files that store Chinese text (config.ini, the log, the names in
// the chip database). This is the only place that converts.
//
// Neither direction fails: bytes that cannot be converted (a broken sequence, or
// a GBK value cut in the middle of a two-byte character, as a 199-byte setting
// may be) are replaced and the rest is converted.

#include <string>
#include <string_view>

namespace util {

// GBK bytes -> UTF-8. Each undecodable byte becomes U+FFFD.
std::string gbkToUtf8(std::string_view gbk);

// UTF-8 -> GBK bytes. A character GBK cannot hold, or a malformed UTF-8
// sequence, becomes '?'; `exact`, when given, then says false, so that a caller
// that must store the text as it is can refuse it.
std::string utf8ToGbk(std::string_view utf8, bool* exact = nullptr);

// A name (a file's path, say) fit to stand inside a log entry or a message: control
// characters are written as escapes ("\r", "\n", "\t", "\x1B"), so a name holding
// CR LF cannot start a forged log entry of its own. Other bytes pass unchanged.
std::string printableName(std::string_view name);

}  // namespace util
