#include "util/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

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

mode_t defaultCreationMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool writeInPlace(const std::string& path, std::span<const unsigned char> contents, bool regular,
                  std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(error, "cannot open", path, errno);
    if (!writeAll(fd, contents)) {
        int err = errno;
        close(fd);
        return fail(error, "cannot write", path, err);
    }
    // A device or a FIFO may not support fsync; for them the write itself is
    // the whole story.
    if (fsync(fd) != 0 && (regular || (errno != EINVAL && errno != EROFS))) {
        int err = errno;
        close(fd);
        return fail(error, "cannot sync", path, err);
    }
    if (!closeChecked(fd))
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
    bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return fail(error, "cannot examine", target, errno);
    if (exists && (!S_ISREG(st.st_mode) || st.st_nlink > 1)) {
        return writeInPlace(target, contents, S_ISREG(st.st_mode), error);
    }

    const std::string folder = directoryOf(target);
    std::string name =
        target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    std::string temp = folder + "/." + name + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        // A folder we cannot create files in: the file itself may still be writable.
        if (errno == EACCES || errno == EPERM || errno == EROFS) {
            return writeInPlace(target, contents, true, error);
        }
        return fail(error, "cannot create a temporary file in", folder, errno);
    }
    auto abandon = [&](std::string_view step, int err) {
        close(fd);
        unlink(temp.c_str());
        return fail(error, step, target, err);
    };
    mode_t mode = exists ? (st.st_mode & 07777) : defaultCreationMode();
    if (fchmod(fd, mode) != 0)
        return abandon("cannot set the mode of", errno);
    if (exists && geteuid() == 0) {
        // Only root can give the new file the old owner; keep it so root editing
        // a user's file does not take it away from them.
        if (fchown(fd, st.st_uid, st.st_gid) != 0)
            return abandon("cannot set the owner of", errno);
    }
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
