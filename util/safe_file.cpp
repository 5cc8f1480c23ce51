// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <utility>

namespace util {
namespace {

// Linux gives up on a chain of more than 40 links with ELOOP; so do we.
constexpr int kMaxSymlinkDepth = 40;

bool fail(std::string* error, std::string_view step, const std::string& path, int err) {
    if (error) {
        *error = std::string(step) + " " + path + ": " + std::strerror(err);
    }
    return false;
}

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Follows symbolic links to the file they finally name (which need not exist
// yet). Relative link targets are taken relative to the link's folder.
bool resolveLinks(std::string path, std::string* resolved, std::string* error) {
    for (int depth = 0; depth <= kMaxSymlinkDepth; ++depth) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *resolved = path;
            return true;
        }
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0)
            return fail(error, "cannot read link", path, errno);
        target[n] = '\0';
        if (target[0] == '/') {
            path = target;
        } else {
            path = directoryOf(path) + "/" + target;
        }
    }
    return fail(error, "cannot follow links of", path, ELOOP);
}

bool writeAll(int fd, std::span<const unsigned char> contents) {
    std::size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool closeChecked(int fd) {
    // After close the descriptor is gone whatever it returns; EINTR still means
    // the data may not have reached the file.
    return close(fd) == 0;
}

// An open descriptor that is closed when it goes out of scope, unless released.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0)
                close(fd_);
            fd_ = other.release();
        }
        return *this;
    }

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

mode_t defaultCreationMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Opens the target for writing without emptying it, as writing in place starts.
// O_NONBLOCK: should the name turn into a FIFO meanwhile, the open must not wait
// for a reader; the caller checks that a regular file was opened.
Descriptor openForWriting(const std::string& path, int createFlag) {
    return Descriptor(
        open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | createFlag, 0666));
}

bool isRegularFile(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool notRegular(std::string* error, const std::string& path) {
    if (error)
        *error = path + " is no regular file";
    return false;
}

// Overwrites the open file from its start and then cuts it to the new length:
// overwriting takes no more disk space where the old contents lay.
bool writeInPlace(Descriptor file, const std::string& path, std::span<const unsigned char> contents,
                  std::string* error) {
    if (!writeAll(file.get(), contents))
        return fail(error, "cannot write", path, errno);
    if (ftruncate(file.get(), static_cast<off_t>(contents.size())) != 0)
        return fail(error, "cannot truncate", path, errno);
    if (fsync(file.get()) != 0)
        return fail(error, "cannot sync", path, errno);
    if (!closeChecked(file.release()))
        return fail(error, "cannot close", path, errno);
    return true;
}

}  // namespace

bool replaceFileSafely(const std::string& path, std::span<const unsigned char> contents,
                       std::string* error) {
    std::string target;
    if (!resolveLinks(path, &target, error))
        return false;

    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return fail(error, "cannot examine", target, errno);
    // A FIFO would wait for a reader, a device would take the bytes elsewhere, a
    // folder cannot hold them: only a file can be saved to.
    if (exists && !S_ISREG(st.st_mode))
        return notRegular(error, target);

    // Renaming would replace even a file its user may not write. Opening it for
    // writing first refuses exactly what writing in place would refuse, with the
    // same error, and gives the descriptor to write in place where renaming must
    // not be used.
    Descriptor existing;
    if (exists) {
        existing = openForWriting(target, 0);
        if (!existing.valid())
            return fail(error, "cannot open", target, errno);
        if (!isRegularFile(existing.get()))
            return notRegular(error, target);
    }
    const bool root = geteuid() == 0;
    // Several names share the file: a new file would split them. Someone else's
    // file: a new file would belong to the saver, and only root can give it back.
    if (exists && (st.st_nlink > 1 || (!root && st.st_uid != geteuid())))
        return writeInPlace(std::move(existing), target, contents, error);

    // The temporary name does not grow with the target's: a target name of the
    // longest length a folder allows must still be saved.
    const std::string folder = directoryOf(target);
    std::string temp = folder + "/.chipwright-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        // A folder we cannot create files in: the file itself may still be writable.
        if (errno == EACCES || errno == EPERM || errno == EROFS) {
            if (!exists) {
                existing = openForWriting(target, O_CREAT);
                if (!existing.valid())
                    return fail(error, "cannot open", target, errno);
                if (!isRegularFile(existing.get()))
                    return notRegular(error, target);
            }
            return writeInPlace(std::move(existing), target, contents, error);
        }
        return fail(error, "cannot create a temporary file in", folder, errno);
    }
    auto discardTemp = [&] {
        close(fd);
        unlink(temp.c_str());
    };
    auto abandon = [&](std::string_view step, int err) {
        discardTemp();
        return fail(error, step, target, err);
    };
    mode_t mode = exists ? (st.st_mode & 07777) : defaultCreationMode();
    if (exists) {
        struct stat created {};
        if (fstat(fd, &created) != 0)
            return abandon("cannot examine the temporary file for", errno);
        if (root) {
            // Root editing a user's file must not take it away from them.
            if (fchown(fd, st.st_uid, st.st_gid) != 0)
                return abandon("cannot set the owner of", errno);
        } else if (created.st_gid != st.st_gid &&
                   fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
            // The file's group is not one of ours: a new file could not keep it.
            discardTemp();
            return writeInPlace(std::move(existing), target, contents, error);
        }
    }
    // After the owner: changing the owner may clear the set-id bits.
    if (fchmod(fd, mode) != 0)
        return abandon("cannot set the mode of", errno);
    if (!writeAll(fd, contents))
        return abandon("cannot write", errno);
    if (fsync(fd) != 0)
        return abandon("cannot sync", errno);
    if (!closeChecked(fd)) {
        int err = errno;
        unlink(temp.c_str());
        return fail(error, "cannot close", target, err);
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        return fail(error, "cannot replace", target, err);
    }
    int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return fail(error, "cannot open folder", folder, errno);
    bool synced = fsync(dirFd) == 0;
    int err = errno;
    close(dirFd);
    if (!synced)
        return fail(error, "cannot sync folder", folder, err);
    return true;
}

}  // namespace util
