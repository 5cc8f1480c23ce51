// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Intel HEX output in the shape binutils' objcopy writes: data records of 16 bytes,
// an extended linear address record (type 04) wherever the upper 16 address bits change
// (none for the first 64 KB), upper-case digits, CR LF after every record, and the end
// of file record. Tools that read HEX (objcopy, srec_cat, the window's own reader) read
// it back byte for byte.

#include <cstdint>
#include <span>
#include <string>

namespace cli {

constexpr std::size_t kHexRecordBytes = 16;

std::string intelHexText(std::span<const unsigned char> data);

// The file the window would read as Intel HEX: the name ends in exactly "hex" or "HEX".
// A read written under such a name is written as HEX, so the window and `write` read it
// back as it was meant.
bool isIntelHexName(const std::string& path);

}  // namespace cli
