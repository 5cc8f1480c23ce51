// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads an Intel HEX file into a chip image.
//
// A record starts at a ':' and holds nothing but upper-case hex digit pairs:
// byte count, address (high byte first), type, the data and a checksum that
// makes the 8-bit sum of all of them 0. Anything between records (line ends,
// blanks, other text) is skipped; a blank, a line end or a lower-case digit
// inside a record fails the load. Types: 0 data, 1 end of file (the rest of the
// file is not read), 2 extended segment address (value × 16) and 4 extended
// linear address (value × 65536), both with a byte count of exactly 2; 3 and 5
// (start addresses) are skipped whatever they hold; any other type fails. A
// file without an end record fails, keeping the records placed before.
//
// The load base, the file address that becomes image address 0: when the first
// extended address record comes before any data record and holds a non-zero
// offset, that offset (a file linked at 0x08000000 loads at image address 0);
// otherwise 0, so the 64 KB segments of a file land at their own addresses. An
// extended address below the base fails the load.
//
// Data are placed up to the limit (the chip's capacity); records beyond it are
// skipped, but `highestEnd` tells how far the file's data reach, so the caller
// can warn that the file is too long. Addresses are computed in 64 bits, so a
// record near the top of the 4 GB address space cannot wrap to a low address.
//
// The reader scans a buffered block with a digit table; there is no I/O call per
// character, so a 16 MB image loads in a few tens of milliseconds.

#include <cstdint>
#include <string>
#include <string_view>

namespace buffer {

class IntelHexReader {
  public:
    // Reads the open file `fd` from its current position; the caller keeps and
    // closes the descriptor. True at an end-of-file record, false on any error
    // (error() says which). Only destination[0 … limit − 1] is written.
    bool readFile(int fd, unsigned char* destination, std::uint32_t limit);
    // The same over text in memory.
    bool readText(std::string_view text, unsigned char* destination, std::uint32_t limit);

    // One past the highest image address any data record reached, placed or not.
    std::uint64_t highestEnd() const { return highestEnd_; }
    // The lowest image address a data record reached (0 without data), and the load
    // base: that address came from file address lowestStart() + loadBase().
    std::uint64_t lowestStart() const { return lowestStart_; }
    std::uint64_t loadBase() const { return loadBase_; }
    const std::string& error() const { return error_; }

  private:
    class Source;
    bool read(Source& source, unsigned char* destination, std::uint32_t limit);
    bool fail(const Source& source, std::string_view what);

    std::uint64_t highestEnd_ = 0;
    std::uint64_t lowestStart_ = 0;
    bool anyData_ = false;
    std::uint64_t offset_ = 0;
    std::uint64_t loadBase_ = 0;
    bool baseFixed_ = false;
    std::string error_;
};

}  // namespace buffer
