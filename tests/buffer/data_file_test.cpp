// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer/data_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

using buffer::DataBuffer;
using buffer::LoadResult;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr std::uint32_t kChip = 0x10000;

class DataFile : public ::testing::Test {
  protected:
    void SetUp() override {
        data_ = DataBuffer::create();
        ASSERT_TRUE(data_);
        data_->setDataLength(kChip);
    }

    // Something to recognise in the chip's bytes and in the byte after them,
    // with every byte marked.
    void scribble() {
        std::fill(data_->image(), data_->image() + kChip + 1, 0x5A);
        ASSERT_TRUE(data_->fillRange(0, kChip, 0x5A));
    }

    bool untouched() const {
        const unsigned char* image = data_->image();
        return std::all_of(image, image + kChip + 1, [](unsigned char b) { return b == 0x5A; }) &&
               data_->isChanged(0) && data_->isChanged(kChip - 1);
    }
    bool noMarks() const {
        const unsigned char* map = data_->changedMap();
        return std::all_of(map, map + kChip / 8, [](unsigned char b) { return b == 0; });
    }
    std::string imageText(std::size_t count) const {
        return std::string(reinterpret_cast<const char*>(data_->image()), count);
    }

    TempDir dir_;
    std::unique_ptr<DataBuffer> data_;
};

TEST_F(DataFile, BinaryFilesLongerShorterAndEmpty) {
    std::string longer(kChip + 1, '\0');
    for (std::size_t i = 0; i < longer.size(); ++i)
        longer[i] = static_cast<char>(i * 7);
    writeFile(dir_.file("long.bin"), longer);
    scribble();
    LoadResult result = buffer::loadDataFile(*data_, dir_.file("long.bin"));
    EXPECT_TRUE(result.loaded) << result.error;
    EXPECT_TRUE(result.tooLong);
    EXPECT_EQ(imageText(kChip), longer.substr(0, kChip));
    EXPECT_EQ(data_->image()[kChip], 0x5A) << "nothing lands past the chip";
    EXPECT_TRUE(noMarks());

    writeFile(dir_.file("half.bin"), longer.substr(0, kChip / 2));
    scribble();
    result = buffer::loadDataFile(*data_, dir_.file("half.bin"));
    EXPECT_TRUE(result.loaded);
    EXPECT_FALSE(result.tooLong);
    EXPECT_EQ(imageText(kChip / 2), longer.substr(0, kChip / 2));
    EXPECT_EQ(imageText(kChip).substr(kChip / 2), std::string(kChip / 2, '\xFF'));
    EXPECT_TRUE(noMarks());

    writeFile(dir_.file("exact.bin"), longer.substr(0, kChip));
    EXPECT_FALSE(buffer::loadDataFile(*data_, dir_.file("exact.bin")).tooLong);

    writeFile(dir_.file("empty.bin"), "");
    scribble();
    EXPECT_TRUE(buffer::loadDataFile(*data_, dir_.file("empty.bin")).loaded);
    EXPECT_EQ(imageText(kChip), std::string(kChip, '\xFF'));
}

TEST_F(DataFile, OnlyAHexOrHEXEndingMeansIntelHex) {
    const std::string text = ":0100000055AA\n:00000001FF\n";
    for (const char* name : {"a.hex", "b.HEX", "chex"}) {
        writeFile(dir_.file(name), text);
        LoadResult result = buffer::loadDataFile(*data_, dir_.file(name));
        EXPECT_TRUE(result.loaded) << name << ": " << result.error;
        EXPECT_EQ(imageText(2), "\x55\xFF") << name;
    }
    writeFile(dir_.file("c.Hex"), text);
    EXPECT_TRUE(buffer::loadDataFile(*data_, dir_.file("c.Hex")).loaded);
    EXPECT_EQ(imageText(text.size()), text) << "read as a binary image";

    // A failed Intel HEX load keeps the blanking and the records before the fault.
    writeFile(dir_.file("bad.hex"), ":0100000055AA\n:0100010066aa\n:00000001FF\n");
    scribble();
    LoadResult result = buffer::loadDataFile(*data_, dir_.file("bad.hex"));
    EXPECT_FALSE(result.loaded);
    EXPECT_FALSE(result.error.empty());
    EXPECT_EQ(imageText(3), "\x55\xFF\xFF");
    EXPECT_TRUE(noMarks());

    // The end record alone is a valid, empty file.
    writeFile(dir_.file("empty.hex"), ":00000001FF");
    scribble();
    EXPECT_TRUE(buffer::loadDataFile(*data_, dir_.file("empty.hex")).loaded);
    EXPECT_EQ(imageText(kChip), std::string(kChip, '\xFF'));

    // A record wholly beyond the chip: loaded, and reported too long.
    writeFile(dir_.file("beyond.hex"),
              ":0100000055AA\n:020000040001F9\n:010000007788\n:00000001FF\n");
    result = buffer::loadDataFile(*data_, dir_.file("beyond.hex"));
    EXPECT_TRUE(result.loaded) << result.error;
    EXPECT_TRUE(result.tooLong);
}

// Files that cannot be opened, and things that are no files, fail before the
// buffer is touched; a FIFO without a writer must not block the load.
TEST_F(DataFile, WhatCannotBeReadLeavesTheBufferUntouched) {
    ASSERT_EQ(mkfifo(dir_.file("pipe.bin").c_str(), 0600), 0);
    std::filesystem::create_directory(dir_.file("folder.hex"));
    for (const std::string& path :
         {dir_.file("missing.bin"), dir_.file("missing.hex"), dir_.file("folder.hex"),
          dir_.file("pipe.bin"), std::string("/dev/zero")}) {
        scribble();
        LoadResult result = buffer::loadDataFile(*data_, path);
        EXPECT_FALSE(result.loaded) << path;
        EXPECT_FALSE(result.error.empty()) << path;
        EXPECT_TRUE(untouched()) << path;
    }
}

TEST_F(DataFile, SavingWritesExactlyTheChip) {
    scribble();
    data_->image()[0] = 0x01;
    std::string path = dir_.file("saved.bin");
    writeFile(path, std::string(3 * kChip, 'x'));
    std::string error;
    ASSERT_TRUE(buffer::saveDataFile(*data_, path, &error)) << error;
    std::string saved = readFile(path);
    ASSERT_EQ(saved.size(), kChip);
    EXPECT_EQ(saved, imageText(kChip));
    EXPECT_TRUE(data_->isChanged(0)) << "saving leaves the marks";
}

// A full disk (a file size limit; tests run as root, so permissions would not
// stop the write) and a path through a regular file both fail, and the old
// file survives.
TEST_F(DataFile, AFailedSaveIsReportedAndKeepsTheOldFile) {
    std::string path = dir_.file("old.bin");
    writeFile(path, "precious");
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = kChip / 2;
    setrlimit(RLIMIT_FSIZE, &small);
    std::string error;
    bool saved = buffer::saveDataFile(*data_, path, &error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(saved);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(readFile(path), "precious");

    error.clear();
    EXPECT_FALSE(buffer::saveDataFile(*data_, path + "/inside.bin", &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
