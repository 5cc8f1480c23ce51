#pragma once
// Replacing a file's contents so that a crash, a power cut or a full disk never
// leaves it truncated or half written.
//
// The new contents go to a temporary file beside the target (beside the file a
// symbolic link points to, so the link stays a link), which is written, synced
// and closed, given the target's permission bits, and renamed over the target;
// then the folder is synced. Where that cannot be done without changing what the
// target is — its folder is not writable, it has several hard links, or it is
// not a regular file (a device, a FIFO) — the contents are written in place,
// still checking every step. Success is reported only when every step
// succeeded; on failure the error text says which step failed and why.

#include <span>
#include <string>

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

}  // namespace util
