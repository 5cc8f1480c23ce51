// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Loading binary and Intel HEX files into the data buffer and saving it as a
// binary file. These functions only report; the File commands and start-up show
// the messages and write the log.

#include <string>

#include "buffer/data_buffer.h"

namespace buffer {

struct LoadResult {
    bool loaded = false;
    // The file held data beyond the chip (the buffer's data length); they were
    // left out and the caller warns with message 21. Only set on a load.
    bool tooLong = false;
    // How far the file's data reach: a binary file's length (counted up to one byte
    // past the buffer), one past an Intel HEX file's highest image address.
    std::uint64_t dataEnd = 0;
    // Intel HEX: the lowest image address its data reached, and the file address
    // those data had (the load base moves them down).
    std::uint64_t hexFirstImage = 0;
    std::uint64_t hexFirstFile = 0;
    // Why the load failed, for the log; empty on success.
    std::string error;
};

// Loads the file into the first dataLength bytes of the image. A path ending in
// exactly "hex" or "HEX" is an Intel HEX file, anything else (".Hex" too) a
// binary image. A file that cannot be opened, or is no regular file, fails and
// leaves the buffer untouched. Otherwise those bytes are blanked and the marks
// cleared before the data arrive: a binary file fills from address 0 (a shorter
// one leaves the rest 0xFF); a failed Intel HEX load keeps the records placed
// before the fault.
LoadResult loadDataFile(DataBuffer& buffer, const std::string& path);

// Writes exactly the first dataLength bytes of the image to path. The old file
// survives any failure (util::replaceFileSafely); true only when all of it was
// written, otherwise error says why.
bool saveDataFile(const DataBuffer& buffer, const std::string& path, std::string* error = nullptr);

}  // namespace buffer
