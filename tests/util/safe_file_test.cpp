// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/safe_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>

#include "tests/support/temp_dir.h"
#include "util/regular_file.h"

using testsupport::asUnprivilegedUser;
using testsupport::kUnprivilegedId;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

std::size_t entriesIn(const std::string& folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder))
        ++n;
    return n;
}

TEST(ReplaceFileSafely, CreatesAndReplacesKeepingTheMode) {
    TempDir dir;
    std::string path = dir.file("config.ini");
    std::string error;
    ASSERT_TRUE(util::replaceFileSafely(path, "first", &error)) << error;
    EXPECT_EQ(readFile(path), "first");
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(util::replaceFileSafely(path, std::string_view("second\0x", 8), &error)) << error;
    EXPECT_EQ(readFile(path), std::string("second\0x", 8));
    EXPECT_EQ(modeOf(path), 0640u);
    EXPECT_EQ(entriesIn(dir.path()), 1u) << "no temporary file is left behind";
}

TEST(ReplaceFileSafely, WritesThroughASymbolicLinkAndKeepsTheLink) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("real"));
    writeFile(dir.file("real/data.bin"), "old");
    ASSERT_EQ(symlink("real/data.bin", dir.file("link").c_str()), 0);
    ASSERT_TRUE(util::replaceFileSafely(dir.file("link"), "new"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link")));
    EXPECT_EQ(readFile(dir.file("real/data.bin")), "new");
}

// The kernel follows a link in a sticky folder open to everyone (/tmp) only when it is
// the follower's own or the folder owner's; a save, run as root perhaps, does no more.
TEST(ReplaceFileSafely, FollowsAnotherUsersLinkInASharedFolderOnlyWhereTheKernelWould) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can plant a link of another user's";
    TempDir dir;
    const std::string shared = dir.file("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string secret = dir.file("root-only");
    writeFile(secret, "root's");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    const std::string planted = shared + "/dump.bin";
    ASSERT_EQ(symlink(secret.c_str(), planted.c_str()), 0);
    ASSERT_EQ(lchown(planted.c_str(), kUnprivilegedId, kUnprivilegedId), 0);

    std::string error;
    EXPECT_FALSE(util::replaceFileSafely(planted, "chip data", &error));
    EXPECT_NE(error.find("refusing to follow"), std::string::npos) << error;
    EXPECT_EQ(readFile(secret), "root's");
    EXPECT_TRUE(std::filesystem::is_symlink(planted));
    EXPECT_EQ(util::createNewFile(planted, "chip data"), util::NewFile::Exists);
    EXPECT_EQ(readFile(secret), "root's");

    // The same link in a folder that is not shared, or one of the saver's own, is followed.
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    ASSERT_TRUE(util::replaceFileSafely(planted, "first", &error)) << error;
    EXPECT_EQ(readFile(secret), "first");
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(lchown(planted.c_str(), 0, 0), 0);
    ASSERT_TRUE(util::replaceFileSafely(planted, "second", &error)) << error;
    EXPECT_EQ(readFile(secret), "second");
}

TEST(ReplaceFileSafely, AFileWithSeveralLinksIsWrittenInPlace) {
    TempDir dir;
    writeFile(dir.file("a"), "old contents");
    ASSERT_EQ(link(dir.file("a").c_str(), dir.file("b").c_str()), 0);
    ASSERT_TRUE(util::replaceFileSafely(dir.file("a"), "new"));
    EXPECT_EQ(readFile(dir.file("b")), "new") << "both names still share one file";
}

TEST(ReplaceFileSafely, ReportsAPathThatCannotBeCreated) {
    TempDir dir;
    writeFile(dir.file("plain"), "x");
    std::string error;
    EXPECT_FALSE(util::replaceFileSafely(dir.file("plain/inside"), "data", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(util::replaceFileSafely(dir.file("missing/inside"), "data"));
}

// Replacing must not do what writing in place could not: a file its user may not
// write stays as it is (with the error an in-place open gives), and a file of
// someone else's is written, never handed over to the one who saved it.
TEST(ReplaceFileSafely, RefusesAReadOnlyFileAndNeverTakesAFileOver) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // anyone may create files here
    const std::string readOnly = dir.file("read-only.bin");
    writeFile(readOnly, "kept");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(readOnly.c_str(), kUnprivilegedId, kUnprivilegedId), 0);
    }
    EXPECT_EQ(asUnprivilegedUser([&] {
                  std::string error;
                  return !util::replaceFileSafely(readOnly, "lost", &error) &&
                         error.find(std::strerror(EACCES)) != std::string::npos;
              }),
              std::optional<bool>(true));
    EXPECT_EQ(readFile(readOnly), "kept");
    EXPECT_EQ(modeOf(readOnly), 0444u);
    if (geteuid() != 0)
        return;  // only root can make a file that belongs to someone else

    // Root may write anything, and the file keeps its owner and mode.
    ASSERT_TRUE(util::replaceFileSafely(readOnly, "root's"));
    struct stat st {};
    ASSERT_EQ(stat(readOnly.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUnprivilegedId);
    EXPECT_EQ(modeOf(readOnly), 0444u);

    const std::string shared = dir.file("shared.bin");
    writeFile(shared, "old");
    ASSERT_EQ(chmod(shared.c_str(), 0666), 0);
    EXPECT_EQ(asUnprivilegedUser([&] { return util::replaceFileSafely(shared, "new"); }),
              std::optional<bool>(true));
    EXPECT_EQ(readFile(shared), "new");
    ASSERT_EQ(stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "still root's file";
    EXPECT_EQ(modeOf(shared), 0666u);
}

TEST(ReplaceFileSafely, WritesOnlyRegularFilesButUnderAnyName) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    // With a reader waiting a write would not even block; it must still be refused.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::string error;
    EXPECT_FALSE(util::replaceFileSafely(fifo, "data", &error));
    EXPECT_NE(error.find("regular file"), std::string::npos) << error;
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0) << "nothing went into the FIFO";
    close(reader);

    // The longest name a folder entry may have: the temporary name must not grow with it.
    const std::string longest = dir.file(std::string(255, 'n'));
    ASSERT_TRUE(util::replaceFileSafely(longest, "first", &error)) << error;
    ASSERT_TRUE(util::replaceFileSafely(longest, "second", &error)) << error;
    EXPECT_EQ(readFile(longest), "second");
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}

// A full disk, simulated with a file size limit (tests run as root, so a
// read-only folder would not stop us). The old contents must survive.
TEST(ReplaceFileSafely, AFullDiskFailsAndKeepsTheOldFile) {
    TempDir dir;
    std::string path = dir.file("image.bin");
    writeFile(path, "precious");
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    std::string big(64 * 1024, 'z');
    bool ok = util::replaceFileSafely(path, big);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(readFile(path), "precious");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

// A file with several names is written in place; on a full disk its old contents must
// still be whole, so the new length is reserved before any byte is overwritten.
TEST(ReplaceFileSafely, AFullDiskLeavesAFileWrittenInPlaceWhole) {
    TempDir dir;
    const std::string disk = dir.file("disk");
    std::filesystem::create_directory(disk);
    if (mount("chipwright-test", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    const std::string path = disk + "/image.bin";
    const std::string old(64 * 1024, 'o');
    writeFile(path, old);
    ASSERT_EQ(link(path.c_str(), (disk + "/other-name.bin").c_str()), 0);
    writeFile(disk + "/filler", std::string(160 * 1024, 'f'));
    std::string error;
    const bool ok = util::replaceFileSafely(path, std::string(200 * 1024, 'n'), &error);
    const std::string kept = readFile(path);
    umount(disk.c_str());
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find(std::strerror(ENOSPC)), std::string::npos) << error;
    EXPECT_EQ(kept, old);
}

// Every reader of a path the user names: only a regular file, never a wait for a FIFO's
// writer, never an endless read of a device, never more than it asked for.
TEST(ReadRegularFile, RefusesAllButARegularFileAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::vector<unsigned char> out;
    std::string error;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(util::readRegularFile(dir.path(), 100, out, &error), util::FileRead::Failed);
    EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
    for (const std::string& path : {dir.file("fifo"), std::string("/dev/zero")}) {
        EXPECT_EQ(util::readRegularFile(path, 100, out, &error), util::FileRead::Failed);
        EXPECT_EQ(error, path + " is no regular file");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(util::readRegularFile(dir.file("none"), 100, out, &error), util::FileRead::Missing);

    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    writeFile(dir.file("data"), "0123456789");
    EXPECT_EQ(util::readRegularFile(dir.file("data"), 10, out), util::FileRead::Ok);
    EXPECT_EQ(std::string(out.begin(), out.end()), "0123456789");
    EXPECT_EQ(util::readRegularFile(dir.file("data"), 4, out), util::FileRead::TooLarge);
    EXPECT_EQ(std::string(out.begin(), out.end()), "0123");
    ASSERT_EQ(chmod(dir.file("data").c_str(), 0600), 0);
    EXPECT_EQ(asUnprivilegedUser([&] {
                  return util::readRegularFile(dir.file("data"), 10, out, &error) ==
                             util::FileRead::Failed &&
                         error.find(std::strerror(EACCES)) != std::string::npos;
              }),
              std::optional<bool>(true));
}

}  // namespace
