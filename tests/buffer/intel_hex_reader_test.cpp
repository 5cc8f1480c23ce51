// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer/intel_hex_reader.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "buffer/data_buffer.h"
#include "buffer/data_file.h"
#include "tests/support/temp_dir.h"

using buffer::IntelHexReader;
using testsupport::TempDir;

namespace {

// One record with a correct checksum.
std::string record(unsigned type, unsigned address, const std::vector<unsigned char>& data) {
    char text[16];
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address,
                  type);
    std::string out = text;
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    for (unsigned char b : data) {
        std::snprintf(text, sizeof text, "%02X", b);
        out += text;
        sum += b;
    }
    std::snprintf(text, sizeof text, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return out + text;
}

std::string linear(unsigned upper) {
    return record(4, 0, {std::uint8_t(upper >> 8), std::uint8_t(upper)});
}
const std::string kEnd = ":00000001FF\r\n";

// The reader over a small destination followed by guard bytes that must stay 0xFF.
struct Load {
    static constexpr std::uint32_t kLimit = 0x100;
    static constexpr std::uint32_t kGuard = 0x100;
    IntelHexReader reader;
    std::vector<unsigned char> image = std::vector<unsigned char>(kLimit + kGuard, 0xFF);
    bool ok;

    explicit Load(std::string_view text) : ok(reader.readText(text, image.data(), kLimit)) {}
    bool guardIntact() const {
        return std::all_of(image.begin() + kLimit, image.end(),
                           [](unsigned char b) { return b == 0xFF; });
    }
};

TEST(IntelHexReader, ChecksumDecidesAndTextOutsideRecordsIsSkipped) {
    Load good("; any text\n  :0100000055AA\r\n\tmore text :00000001FF and then anything :zz");
    EXPECT_TRUE(good.ok) << good.reader.error();
    EXPECT_EQ(good.image[0], 0x55);
    EXPECT_EQ(good.image[1], 0xFF);

    Load badSum(":0100000055AB\n" + kEnd);
    EXPECT_FALSE(badSum.ok);
    EXPECT_NE(badSum.reader.error().find("checksum"), std::string::npos) << badSum.reader.error();

    Load onlyEnd(kEnd);
    EXPECT_TRUE(onlyEnd.ok);
    EXPECT_EQ(onlyEnd.reader.highestEnd(), 0u);
}

TEST(IntelHexReader, ARecordHoldsNothingButUpperCaseDigits) {
    EXPECT_FALSE(Load(":0100000055aa\n" + kEnd).ok) << "lower-case digits";
    EXPECT_FALSE(Load(":01000000 55AA\n" + kEnd).ok) << "a blank inside a record";
    EXPECT_FALSE(Load(":01000000\n55AA\n" + kEnd).ok) << "a line end inside a record";
    EXPECT_FALSE(Load(":0100000055").ok) << "the file ends inside a record";
    EXPECT_FALSE(Load(":000000").ok);
}

TEST(IntelHexReader, RecordTypes) {
    // Start address records are skipped whatever they hold.
    Load skipped(record(3, 0x1234, {1, 2, 3, 4, 5, 6, 7}) + record(5, 0, {}) +
                 record(0, 0, {0x42}) + kEnd);
    EXPECT_TRUE(skipped.ok) << skipped.reader.error();
    EXPECT_EQ(skipped.image[0], 0x42);

    EXPECT_FALSE(Load(record(6, 0, {}) + kEnd).ok) << "unknown type";
    EXPECT_FALSE(Load(record(4, 0, {0, 0, 0, 1}) + kEnd).ok) << "linear address of 4 bytes";
    EXPECT_FALSE(Load(record(2, 0, {0x10}) + kEnd).ok) << "segment address of 1 byte";

    // Without an end record the load fails, keeping what was placed.
    Load noEnd(record(0, 0, {0xAB, 0xCD}) + record(0, 0x10, {0xEF}));
    EXPECT_FALSE(noEnd.ok);
    EXPECT_EQ(noEnd.image[0], 0xAB);
    EXPECT_EQ(noEnd.image[1], 0xCD);
    EXPECT_EQ(noEnd.image[0x10], 0xEF);

    // Nothing after the end record is read.
    EXPECT_TRUE(Load(kEnd + record(0, 0, {1}) + ":bad").ok);
}

TEST(IntelHexReader, PlacesUpToTheLimitAndReportsHowFarTheDataReach) {
    Load load(record(0, Load::kLimit - 2, {1, 2, 3, 4}) + record(0, 0x1000, {9}) + kEnd);
    EXPECT_TRUE(load.ok);
    EXPECT_EQ(load.image[Load::kLimit - 2], 1);
    EXPECT_EQ(load.image[Load::kLimit - 1], 2);
    EXPECT_TRUE(load.guardIntact());
    EXPECT_EQ(load.reader.highestEnd(), 0x1001u) << "the record wholly beyond the limit counts";
}

// Near the top of the 4 GB address space, offset + address + count must not
// wrap to a low address: the data lie far beyond any chip.
TEST(IntelHexReader, AddressArithmeticDoesNotWrap) {
    Load load(record(0, 0, {7}) + linear(0xFFFF) +
              record(0, 0xFFF0, std::vector<unsigned char>(0x20, 1)) + kEnd);
    EXPECT_TRUE(load.ok);
    EXPECT_EQ(load.reader.highestEnd(), 0x100000010u);
    EXPECT_TRUE(load.guardIntact());
}

TEST(IntelHexReader, LoadBaseComesFromAFirstExtendedAddressBeforeData) {
    // Linked at 0x08000000: that address becomes image address 0.
    Load based(linear(0x0800) + record(0, 0x0010, {0x11}) + linear(0x0800) + kEnd);
    EXPECT_TRUE(based.ok) << based.reader.error();
    EXPECT_EQ(based.image[0x10], 0x11);
    EXPECT_EQ(based.reader.highestEnd(), 0x11u);

    EXPECT_FALSE(Load(linear(0x0800) + record(0, 0, {1}) + linear(0x07FF) + kEnd).ok)
        << "an extended address below the base";

    // Data before any extended address: based at 0, segments at their own
    // addresses (segment 0x0008 is image address 0x80).
    Load segments(record(0, 0x0000, {0xA0}) + record(2, 0, {0x00, 0x08}) +
                  record(0, 0x0001, {0xA1}) + kEnd);
    EXPECT_TRUE(segments.ok);
    EXPECT_EQ(segments.image[0], 0xA0);
    EXPECT_EQ(segments.image[0x81], 0xA1);

    // A first extended address of 0 is a base of 0 as well.
    Load zero(linear(0) + record(0, 0x0005, {5}) + kEnd);
    EXPECT_TRUE(zero.ok);
    EXPECT_EQ(zero.image[5], 5);

    // The reader starts afresh on every read.
    IntelHexReader reader;
    std::vector<unsigned char> image(16, 0xFF);
    ASSERT_TRUE(reader.readText(linear(0x0800) + kEnd, image.data(), 16));
    ASSERT_TRUE(reader.readText(record(0, 3, {3}) + kEnd, image.data(), 16));
    EXPECT_EQ(image[3], 3);
}

// Intel HEX files made by real tools from a known image must load back to it.
class IntelHexFromTools : public ::testing::Test {
  protected:
    void SetUp() override {
        data_ = buffer::DataBuffer::create();
        ASSERT_TRUE(data_);
    }

    // Random bytes, written as a binary file.
    std::vector<unsigned char> makeImage(std::size_t size, unsigned seed) {
        std::mt19937 random(seed);
        std::vector<unsigned char> bytes(size);
        for (auto& b : bytes)
            b = static_cast<unsigned char>(random());
        testsupport::writeFile(dir_.file("image.bin"),
                               std::string_view(reinterpret_cast<const char*>(bytes.data()), size));
        return bytes;
    }

    void convert(const std::string& command) {
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // Loads out.hex into a chip of `capacity` bytes and compares it with expected
    // followed by erased bytes.
    void expectLoads(const std::vector<unsigned char>& expected, std::uint32_t capacity,
                     bool tooLong = false) {
        data_->setDataLength(capacity);
        std::fill(data_->image(), data_->image() + capacity, 0x00);
        buffer::LoadResult result = buffer::loadDataFile(*data_, dir_.file("out.hex"));
        ASSERT_TRUE(result.loaded) << result.error;
        EXPECT_EQ(result.tooLong, tooLong);
        std::size_t placed = std::min<std::size_t>(expected.size(), capacity);
        const unsigned char* image = data_->image();
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + placed, image));
        EXPECT_TRUE(std::all_of(image + placed, image + capacity,
                                [](unsigned char b) { return b == 0xFF; }));
    }

    TempDir dir_;
    std::unique_ptr<buffer::DataBuffer> data_;
};

// objcopy writes CRLF lines, type-2 segment records below 1 MiB and type-4
// linear records above.
TEST_F(IntelHexFromTools, Objcopy) {
    auto image = makeImage(0x140000 + 77, 1);
    convert("objcopy -I binary -O ihex " + dir_.file("image.bin") + " " + dir_.file("out.hex"));
    expectLoads(image, 0x200000);
    // The same file based at 0x08000000 loads at image address 0.
    convert("objcopy -I binary -O ihex --change-addresses 0x08000000 " + dir_.file("image.bin") +
            " " + dir_.file("out.hex"));
    expectLoads(image, 0x200000);
    // Into a smaller chip: the chip's part is placed and the rest reported.
    expectLoads(image, 0x100000, true);
}

TEST_F(IntelHexFromTools, SrecCatRecordLengthsBasesAndSegments) {
    auto image = makeImage(0x30000 + 5, 2);
    for (int length : {1, 7, 32, 255}) {
        SCOPED_TRACE(length);
        convert("srec_cat " + dir_.file("image.bin") + " -binary -o " + dir_.file("out.hex") +
                " -intel -output_block_size=" + std::to_string(length));
        expectLoads(image, 0x40000);
    }
    convert("srec_cat " + dir_.file("image.bin") + " -binary -offset 0x08000000 -o " +
            dir_.file("out.hex") + " -intel");
    expectLoads(image, 0x40000);
    // 20-bit segment addressing (type-2 records only).
    convert("srec_cat " + dir_.file("image.bin") + " -binary -o " + dir_.file("out.hex") +
            " -intel -address-length=3");
    expectLoads(image, 0x40000);
}

}  // namespace
