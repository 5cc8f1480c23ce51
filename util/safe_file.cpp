// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <utility>

#include "util/text_codec.h"

namespace util {
namespace {

// Linux gives up on a chain of more than 40 links with ELOOP; so do we.
constexpr int kMaxSymlinkDepth = 40;

// Where /proc is not mounted: the mask as the program started, read while static
// objects are made, before any thread of ours exists.
const mode_t kUmaskAtStart = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}();

bool fail(std::string* error, std::string_view step, const std::string& path, int err) {
    if (error) {
        *error = std::string(step) + " " + printableName(path) + ": " + std::strerror(err);
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

// Whether the kernel would follow `link` (already lstat'ed as `linkStat`) for us:
// in a folder that is sticky and writable by everyone, only a link of our own or of
// the folder's owner. Another user's link planted in /tmp must not send a save, run
// as root perhaps, into a file that user could never write.
bool mayFollow(const std::string& link, const struct stat& linkStat, std::string* error) {
    struct stat folder {};
    if (stat(directoryOf(link).c_str(), &folder) != 0)
        return fail(error, "cannot examine the folder of", link, errno);
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    if (!shared || linkStat.st_uid == geteuid() || linkStat.st_uid == folder.st_uid)
        return true;
    if (error) {
        *error = "refusing to follow " + printableName(link) +
                 ": a symbolic link of another user's in a shared folder";
    }
    return false;
}

// Follows symbolic links to the file they finally name (which need not exist
// yet), where the kernel would follow them. Relative link targets are taken
// relative to the link's folder.
bool resolveLinks(std::string path, std::string* resolved, std::string* error) {
    for (int depth = 0; depth <= kMaxSymlinkDepth; ++depth) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *resolved = path;
            return true;
        }
        if (!mayFollow(path, st, error))
            return false;
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

bool closeChecked(int fd) {
    // After close the descriptor is gone whatever it returns; EINTR still means
    // the data may not have reached the file.
    return close(fd) == 0;
}

// The process's file creation mask, read without changing it: umask() can only be
// read by setting it, and setting it, even for a moment, would let a file another
// thread creates meanwhile come out writable by everyone.
}  // namespace

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

void Descriptor::reset() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

namespace {

mode_t currentUmask() {
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(mask);
    }
    return kUmaskAtStart;
}

mode_t defaultCreationMode() {
    return 0666 & ~currentUmask();
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
        *error = printableName(path) + " is no regular file";
    return false;
}

// Reserves the disk space of the new contents before the first old byte is
// overwritten, so that a full disk fails the save while the old file is whole. A
// failed reservation may have grown the file: it gets its old length back. Where the
// file system cannot reserve, only contents that fit the space the file already holds
// are written.
bool reserveSpace(int fd, const std::string& path, std::size_t length, std::string* error) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return fail(error, "cannot examine", path, errno);
    if (length == 0)
        return true;
    const int err = posix_fallocate(fd, 0, static_cast<off_t>(length));
    if (err == 0)
        return true;
    struct stat after {};
    if (fstat(fd, &after) == 0 && after.st_size != st.st_size && ftruncate(fd, st.st_size) != 0) {
        // The reservation's own error below says more than this one would.
    }
    const auto held = static_cast<std::uint64_t>(st.st_blocks) * 512u;
    if ((err == EOPNOTSUPP || err == EINVAL || err == EBADF) && length <= held)
        return true;
    return fail(error, "cannot reserve space for", path, err);
}

// Overwrites the open file from its start and then cuts it to the new length.
bool writeInPlace(Descriptor file, const std::string& path, std::span<const unsigned char> contents,
                  std::string* error) {
    if (!reserveSpace(file.get(), path, contents.size(), error))
        return false;
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

bool syncFolder(const std::string& folder, std::string* error) {
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

}  // namespace

ReplacementFile::~ReplacementFile() {
    discard();
}

void ReplacementFile::discard() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!temp_.empty())
        unlink(temp_.c_str());
    temp_.clear();
}

bool ReplacementFile::open(const std::string& path, std::string* error) {
    discard();
    if (!resolveLinks(path, &target_, error))
        return false;
    struct stat st {};
    const bool exists = stat(target_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return fail(error, "cannot examine", target_, errno);
    // A FIFO would wait for a reader, a device would take the bytes elsewhere, a
    // folder cannot hold them: only a file can be saved to.
    if (exists && !S_ISREG(st.st_mode))
        return notRegular(error, target_);

    // Renaming would replace even a file its user may not write. Opening it for
    // writing first refuses exactly what writing in place would refuse, with the
    // same error, and gives the descriptor to write in place where renaming must
    // not be used.
    Descriptor existing;
    if (exists) {
        existing = openForWriting(target_, 0);
        if (!existing.valid())
            return fail(error, "cannot open", target_, errno);
        if (!isRegularFile(existing.get()))
            return notRegular(error, target_);
    }
    // Several names share the file: a new file would split them. Someone else's
    // file: a new file would belong to the saver, and only root can give it back.
    if (exists && (st.st_nlink > 1 || (geteuid() != 0 && st.st_uid != geteuid())))
        return keepInPlace(std::move(existing));
    return openTemporary(exists ? &st : nullptr, std::move(existing), error);
}

bool ReplacementFile::keepInPlace(Descriptor existing) {
    fd_ = existing.release();
    return true;
}

bool ReplacementFile::openTemporary(const struct stat* old, Descriptor existing,
                                    std::string* error) {
    // The temporary name does not grow with the target's: a target name of the
    // longest length a folder allows must still be saved.
    folder_ = directoryOf(target_);
    std::string temp = folder_ + "/.chipwright-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        // A folder we cannot create files in: the file itself may still be writable.
        if (errno != EACCES && errno != EPERM && errno != EROFS)
            return fail(error, "cannot create a temporary file in", folder_, errno);
        if (old == nullptr) {
            existing = openForWriting(target_, O_CREAT);
            if (!existing.valid())
                return fail(error, "cannot open", target_, errno);
            if (!isRegularFile(existing.get()))
                return notRegular(error, target_);
        }
        return keepInPlace(std::move(existing));
    }
    fd_ = fd;
    temp_ = temp;
    const mode_t mode = old ? (old->st_mode & 07777) : defaultCreationMode();
    if (old != nullptr) {
        struct stat created {};
        if (fstat(fd_, &created) != 0)
            return abandon("cannot examine the temporary file for", errno, error);
        if (geteuid() == 0) {
            // Root editing a user's file must not take it away from them.
            if (fchown(fd_, old->st_uid, old->st_gid) != 0)
                return abandon("cannot set the owner of", errno, error);
        } else if (created.st_gid != old->st_gid &&
                   fchown(fd_, static_cast<uid_t>(-1), old->st_gid) != 0) {
            // The file's group is not one of ours: a new file could not keep it.
            discard();
            return keepInPlace(std::move(existing));
        }
    }
    // After the owner: changing the owner may clear the set-id bits.
    if (fchmod(fd_, mode) != 0)
        return abandon("cannot set the mode of", errno, error);
    return true;
}

bool ReplacementFile::abandon(std::string_view step, int err, std::string* error) {
    discard();
    return fail(error, step, target_, err);
}

bool ReplacementFile::commit(std::span<const unsigned char> contents, std::string* error) {
    if (fd_ < 0)
        return fail(error, "cannot write", target_, EBADF);
    if (temp_.empty()) {
        const int fd = fd_;
        fd_ = -1;
        return writeInPlace(Descriptor(fd), target_, contents, error);
    }
    if (!writeAll(fd_, contents))
        return abandon("cannot write", errno, error);
    if (fsync(fd_) != 0)
        return abandon("cannot sync", errno, error);
    const int fd = fd_;
    fd_ = -1;
    if (!closeChecked(fd))
        return abandon("cannot close", errno, error);
    if (rename(temp_.c_str(), target_.c_str()) != 0)
        return abandon("cannot replace", errno, error);
    temp_.clear();
    return syncFolder(folder_, error);
}

bool replaceFileSafely(const std::string& path, std::span<const unsigned char> contents,
                       std::string* error) {
    ReplacementFile file;
    return file.open(path, error) && file.commit(contents, error);
}

bool folderTakesNewFiles(const std::string& folder, std::string* error) {
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    if (made) {
        if (error)
            *error = "cannot make " + printableName(folder) + ": " + made.message();
        return false;
    }
    std::string probe = folder + "/.chipwright-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0)
        return fail(error, "cannot create files in", folder, errno);
    close(fd);
    unlink(probe.c_str());
    return true;
}

NewFile createNewFile(const std::string& path, std::span<const unsigned char> contents,
                      std::string* error) {
    // O_EXCL with O_CREAT fails on any name already taken, a symbolic link included
    // (one that points nowhere too): nothing existing is ever opened.
    Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.valid()) {
        if (errno == EEXIST)
            return NewFile::Exists;
        fail(error, "cannot create", path, errno);
        return NewFile::Failed;
    }
    // A part of a file is no backup: on any failure the name goes again.
    auto abandon = [&](const char* step) {
        if (step != nullptr)
            fail(error, step, path, errno);
        unlink(path.c_str());
        return NewFile::Failed;
    };
    if (!reserveSpace(file.get(), path, contents.size(), error))
        return abandon(nullptr);
    if (!writeAll(file.get(), contents))
        return abandon("cannot write");
    if (fsync(file.get()) != 0)
        return abandon("cannot sync");
    if (!closeChecked(file.release()))
        return abandon("cannot close");
    return syncFolder(directoryOf(path), error) ? NewFile::Created : NewFile::Failed;
}

}  // namespace util
