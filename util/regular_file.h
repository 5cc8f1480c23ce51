// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading a file the user named, whatever stands under that name. Only a regular
// file is read: a folder, a FIFO, a device or a socket is refused at once, without
// waiting for a writer that may never come (the open does not block) and without
// reading an endless device such as /dev/zero. Error texts name the path once.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace util {

// Opens `path` for reading when it is a regular file; otherwise -1, with `error`
// saying why and `err` (when given) the system's error number (ENOENT: no such file;
// EINVAL: something other than a regular file). The descriptor is the caller's to
// close; it is in non-blocking mode, which a regular file ignores.
int openRegularFile(const std::string& path, std::string* error, int* err = nullptr);

enum class FileRead { Ok, Missing, Failed, TooLarge };

// Opens `path` as openRegularFile does and tells its size at that moment: Ok with `fd`
// (the caller's to close) and `size` set, Missing when nothing has that name, Failed
// otherwise; `error` says why.
FileRead openRegularFileSized(const std::string& path, int* fd, std::uint64_t* size,
                              std::string* error = nullptr);

// Reads all of a regular file of at most `limit` bytes into `out`. A file that does
// not exist gives Missing, one longer than `limit` TooLarge (with `out` holding its
// first `limit` bytes), anything else that goes wrong Failed; `error` says why.
FileRead readRegularFile(const std::string& path, std::size_t limit,
                         std::vector<unsigned char>& out, std::string* error = nullptr);

}  // namespace util
