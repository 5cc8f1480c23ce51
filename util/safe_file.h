// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Replacing a file's contents so that a crash, a power cut or a full disk never
// leaves it truncated or half written.
//
// The new contents go to a temporary file beside the target (beside the file a
// symbolic link points to, so the link stays a link), which is written, synced
// and closed, given the target's owner and permission bits, and renamed over the
// target; then the folder is synced. The rename never does what writing in place
// could not: a target its user may not write is refused with the error opening it
// for writing gives. Where a new file cannot stand in for the old one — its folder
// is not writable, it has several hard links, it belongs to someone else (or to a
// group the user is not in) and only root could give the new file that owner — the
// contents are written in place, still checking every step. Only a regular file
// (or a name not yet taken) is written: a FIFO, a device or a folder is refused.
// Success is reported only when every step succeeded; on failure the error text
// says which step failed and why.

#include <span>
#include <string>
#include <string_view>

namespace util {

bool replaceFileSafely(const std::string& path, std::span<const unsigned char> contents,
                       std::string* error = nullptr);

inline bool replaceFileSafely(const std::string& path, std::string_view contents,
                              std::string* error = nullptr) {
    return replaceFileSafely(
        path,
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(contents.data()),
                                       contents.size()),
        error);
}

enum class NewFile { Created, Exists, Failed };

// Writes `contents` to a file that did not exist before, synced: a name already
// taken, by anything, even a symbolic link, gives Exists and changes nothing, so a
// planted name can never redirect the bytes. On failure nothing is left under the name.
NewFile createNewFile(const std::string& path, std::span<const unsigned char> contents,
                      std::string* error = nullptr);

inline NewFile createNewFile(const std::string& path, std::string_view contents,
                             std::string* error = nullptr) {
    return createNewFile(
        path,
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(contents.data()),
                                       contents.size()),
        error);
}

}  // namespace util
