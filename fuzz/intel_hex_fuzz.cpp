// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary text to the Intel HEX reader. The destination is exactly
// `limit` bytes long, so any write outside it is caught by AddressSanitizer.
// The same text is also read from a file, whose blocks must give the same
// outcome as the text in memory.

#include <sys/mman.h>
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "buffer/intel_hex_reader.h"

namespace {

// The first two input bytes choose the limit, so records before, across and
// beyond it all occur.
constexpr std::size_t kLimitBytes = 2;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kLimitBytes)
        return 0;
    const std::uint32_t limit = (std::uint32_t{data[0]} << 8) | data[1];
    const std::string_view text(reinterpret_cast<const char*>(data) + kLimitBytes,
                                size - kLimitBytes);

    std::vector<unsigned char> fromText(limit, 0xFF);
    buffer::IntelHexReader textReader;
    bool textOk = textReader.readText(text, fromText.data(), limit);

    int fd = memfd_create("intel-hex", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    if (lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    std::vector<unsigned char> fromFile(limit, 0xFF);
    buffer::IntelHexReader fileReader;
    bool fileOk = fileReader.readFile(fd, fromFile.data(), limit);
    close(fd);

    if (textOk != fileOk || fromText != fromFile ||
        textReader.highestEnd() != fileReader.highestEnd() ||
        textReader.error() != fileReader.error()) {
        std::abort();
    }
    return 0;
}
