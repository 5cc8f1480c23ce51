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

#include <sys/stat.h>

#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace util {

// An open descriptor that is closed when it goes out of scope, unless released.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset();

  private:
    int fd_;
};

// Writes all of `contents` to `fd`, going on after interruptions and short writes; a
// write that moves nothing fails with ENOSPC. False with errno set on failure.
bool writeAll(int fd, std::span<const unsigned char> contents);
inline bool writeAll(int fd, std::string_view contents) {
    return writeAll(
        fd, std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(contents.data()),
                                           contents.size()));
}

// A file being replaced, in two steps: open() does every check and creates the
// temporary file (or opens the file itself where it must be written in place) before
// the contents exist — so a command that takes minutes to produce them can refuse a
// path it could never save to before it starts — and commit() writes, syncs and puts
// the new file in place. A file never committed leaves the old one as it was and no
// temporary file behind.
class ReplacementFile {
  public:
    ReplacementFile() = default;
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    bool open(const std::string& path, std::string* error = nullptr);
    bool isOpen() const { return fd_ >= 0; }
    bool commit(std::span<const unsigned char> contents, std::string* error = nullptr);
    // Gives up the replacement: the old file stays, the temporary file goes.
    void discard();

  private:
    bool keepInPlace(Descriptor existing);
    bool openTemporary(const struct stat* old, Descriptor existing, std::string* error);
    bool abandon(std::string_view step, int err, std::string* error);

    std::string target_;  // the file the path finally names
    std::string folder_;  // its folder, synced after the rename
    std::string temp_;    // the temporary file; empty when writing in place
    int fd_ = -1;
};

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

// Whether new files can be created in `folder`, made (with its parents) when missing:
// tried with a file created and removed again, so that a command can refuse a folder
// it could never save to before it reads a chip for minutes.
bool folderTakesNewFiles(const std::string& folder, std::string* error = nullptr);

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
