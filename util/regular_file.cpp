// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/text_codec.h"

namespace util {
namespace {

void say(std::string* error, const std::string& text) {
    if (error)
        *error = text;
}

std::string withReason(const char* step, const std::string& path, int err) {
    return std::string(step) + " " + printableName(path) + ": " + std::strerror(err);
}

}  // namespace

int openRegularFile(const std::string& path, std::string* error, int* err) {
    int unused = 0;
    int& code = err ? *err : unused;
    // O_NONBLOCK: opening a FIFO nobody writes to would otherwise wait forever.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        code = errno;
        say(error, withReason("cannot open", path, code));
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        code = errno;
        say(error, withReason("cannot examine", path, code));
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        code = EINVAL;
        say(error, printableName(path) +
                       (S_ISDIR(st.st_mode) ? " is a folder, not a file" : " is no regular file"));
        close(fd);
        return -1;
    }
    return fd;
}

FileRead openRegularFileSized(const std::string& path, int* fd, std::uint64_t* size,
                              std::string* error) {
    int err = 0;
    *fd = openRegularFile(path, error, &err);
    *size = 0;
    if (*fd < 0)
        return err == ENOENT ? FileRead::Missing : FileRead::Failed;
    struct stat st {};
    if (fstat(*fd, &st) != 0) {
        say(error, withReason("cannot examine", path, errno));
        close(*fd);
        *fd = -1;
        return FileRead::Failed;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return FileRead::Ok;
}

FileRead readRegularFile(const std::string& path, std::size_t limit,
                         std::vector<unsigned char>& out, std::string* error) {
    out.clear();
    int err = 0;
    const int fd = openRegularFile(path, error, &err);
    if (fd < 0)
        return err == ENOENT ? FileRead::Missing : FileRead::Failed;
    struct stat st {};
    fstat(fd, &st);
    // The length fstat gives is only a first guess: the file may grow or shrink while
    // it is read, so the reading itself decides, one byte past the limit at most.
    out.resize(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), limit) + 1);
    std::size_t done = 0;
    FileRead result = FileRead::Ok;
    while (true) {
        if (done == out.size()) {
            if (done > limit)
                break;
            out.resize(std::min(limit + 1, done * 2 + 4096));
        }
        const ssize_t n = read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            say(error, withReason("cannot read", path, errno));
            result = FileRead::Failed;
            break;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    if (result == FileRead::Ok && done > limit) {
        say(error, printableName(path) + " is longer than " + std::to_string(limit) + " bytes");
        result = FileRead::TooLarge;
    }
    out.resize(std::min(done, limit));
    return result;
}

}  // namespace util
