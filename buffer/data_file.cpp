// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <span>
#include <string_view>

#include "buffer/intel_hex_reader.h"
#include "util/regular_file.h"
#include "util/safe_file.h"
#include "util/text_codec.h"

namespace buffer {
namespace {

// Only these two exact endings make an Intel HEX file; ".Hex" is binary.
bool isIntelHexPath(std::string_view path) {
    return path.ends_with("hex") || path.ends_with("HEX");
}

class FileCloser {
  public:
    explicit FileCloser(int fd) : fd_(fd) {}
    ~FileCloser() { close(fd_); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

  private:
    int fd_;
};

LoadResult failed(std::string error) {
    LoadResult result;
    result.error = std::move(error);
    return result;
}

// A failed step with the system's reason, taken before anything can change errno.
LoadResult failedStep(std::string_view step, const std::string& path) {
    const int err = errno;
    return failed(std::string(step) + " " + util::printableName(path) + ": " + std::strerror(err));
}

// Reads until count bytes arrived or the file ended; -1 on a read error.
ssize_t readFully(int fd, unsigned char* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, out + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

LoadResult loadDataFile(DataBuffer& buffer, const std::string& path) {
    // A folder, a FIFO or a device is no chip image; reading one could block or
    // never end.
    std::string error;
    const int fd = util::openRegularFile(path, &error);
    if (fd < 0)
        return failed(std::move(error));
    FileCloser closer(fd);

    const std::uint32_t capacity = buffer.dataLength();
    buffer.blank(capacity);
    buffer.clearMarks();

    LoadResult result;
    if (isIntelHexPath(path)) {
        IntelHexReader reader;
        if (!reader.readFile(fd, buffer.image(), capacity))
            return failed(util::printableName(path) + ": " + reader.error());
        result.tooLong = reader.highestEnd() > capacity;
        result.dataEnd = reader.highestEnd();
        result.hexFirstImage = reader.lowestStart();
        result.hexFirstFile = reader.lowestStart() + reader.loadBase();
    } else {
        const ssize_t got = readFully(fd, buffer.image(), capacity);
        if (got < 0)
            return failedStep("cannot read", path);
        // One byte more than the chip holds tells that the file is longer; its
        // length from fstat could be stale by now.
        unsigned char beyond = 0;
        ssize_t more = readFully(fd, &beyond, 1);
        if (more < 0)
            return failedStep("cannot read", path);
        result.tooLong = more > 0;
        result.dataEnd = static_cast<std::uint64_t>(got) + static_cast<std::uint64_t>(more);
    }
    result.loaded = true;
    // What a file holds is saved work; a load that failed half way left neither.
    buffer.markSaved(buffer.generation());
    return result;
}

bool saveDataFile(const DataBuffer& buffer, const std::string& path, std::string* error) {
    return util::replaceFileSafely(
        path, std::span<const unsigned char>(buffer.image(), buffer.dataLength()), error);
}

}  // namespace buffer
