#include "util/safe_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>

#include "tests/support/temp_dir.h"

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

}  // namespace
