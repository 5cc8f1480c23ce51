// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer/data_buffer.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "buffer/hex_text.h"

using buffer::DataBuffer;
using buffer::kChangedMapSize;
using buffer::kImageSize;
using buffer::kSpareBytes;

namespace {

std::unique_ptr<DataBuffer> makeBuffer(std::uint32_t dataLength) {
    auto data = DataBuffer::create();
    if (data)
        data->setDataLength(dataLength);
    return data;
}

TEST(DataBuffer, StartsErasedWithNoMarks) {
    std::vector<std::size_t> sizes;
    auto data = DataBuffer::create([&](std::size_t size) {
        sizes.push_back(size);
        return std::malloc(size);
    });
    ASSERT_TRUE(data);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{kImageSize + kSpareBytes, kChangedMapSize}));
    const unsigned char* image = data->image();
    EXPECT_TRUE(std::all_of(image, image + kImageSize + kSpareBytes,
                            [](unsigned char b) { return b == 0xFF; }));
    const unsigned char* map = data->changedMap();
    EXPECT_TRUE(std::all_of(map, map + kChangedMapSize, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(data->dataLength(), 0u);
    data->setDataLength(kImageSize + 1);
    EXPECT_EQ(data->dataLength(), kImageSize) << "the data length never exceeds the image";
}

// Either block failing is reported as a missing buffer; the first block is not
// leaked when only the second fails (the leak checker of the sanitizer build
// would say so).
TEST(DataBuffer, AnAllocationFailureIsAResultNotACrash) {
    EXPECT_FALSE(DataBuffer::create([](std::size_t) -> void* { return nullptr; }));
    int calls = 0;
    EXPECT_FALSE(DataBuffer::create(
        [&](std::size_t size) -> void* { return ++calls == 2 ? nullptr : std::malloc(size); }));
    EXPECT_EQ(calls, 2);
}

TEST(DataBuffer, SwapBytesWithEvenAndOddLengths) {
    auto data = makeBuffer(8);
    ASSERT_TRUE(data);
    for (std::uint32_t i = 0; i < 8; ++i)
        data->markChanged(i);
    data->swapBytes();
    EXPECT_EQ(data->changedMap()[0], 0) << "the swap clears the marks";

    data->setDataLength(4);
    unsigned char* image = data->image();
    const unsigned char start[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    std::copy(std::begin(start), std::end(start), image);
    data->swapBytes();
    EXPECT_EQ(std::vector<unsigned char>(image, image + 5),
              (std::vector<unsigned char>{0x34, 0x12, 0x78, 0x56, 0x9A}));

    // An odd length takes in the byte just past the data.
    data->setDataLength(3);
    data->swapBytes();
    EXPECT_EQ(std::vector<unsigned char>(image, image + 5),
              (std::vector<unsigned char>{0x12, 0x34, 0x56, 0x78, 0x9A}));

    // A whole 16 MB chip swaps its last pair and leaves the spare bytes alone;
    // twice restores the image.
    data->setDataLength(kImageSize);
    image[kImageSize - 2] = 0x01;
    image[kImageSize - 1] = 0x02;
    data->swapBytes();
    EXPECT_EQ(image[kImageSize - 2], 0x02);
    EXPECT_EQ(image[kImageSize - 1], 0x01);
    EXPECT_EQ(image[kImageSize], 0xFF);
    data->swapBytes();
    EXPECT_EQ(image[kImageSize - 2], 0x01);
    EXPECT_EQ(image[0], 0x12);
}

TEST(DataBuffer, FillRangeSetsBytesAndTheirBitsWithinTheData) {
    auto data = makeBuffer(0x100);
    ASSERT_TRUE(data);
    unsigned char* image = data->image();
    const unsigned char* map = data->changedMap();

    EXPECT_TRUE(data->fillRange(0x10, 4, 0xAA));
    EXPECT_EQ(image[0x0F], 0xFF);
    EXPECT_TRUE(std::all_of(image + 0x10, image + 0x14, [](unsigned char b) { return b == 0xAA; }));
    EXPECT_EQ(image[0x14], 0xFF);
    EXPECT_EQ(map[1], 0x00);
    EXPECT_EQ(map[2], 0x0F);

    // A range that ends past the data stops at the data's last byte.
    EXPECT_TRUE(data->fillRange(0xF0, 0x100, 0x00));
    EXPECT_EQ(image[0xEF], 0xFF);
    EXPECT_TRUE(std::all_of(image + 0xF0, image + 0x100, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(image[0x100], 0xFF);
    EXPECT_EQ(map[0x1E], 0xFF);
    EXPECT_EQ(map[0x1F], 0xFF);
    EXPECT_EQ(map[0x20], 0x00);

    // A count so large that start + count wraps past 4 GB is still cut at the data.
    EXPECT_TRUE(data->fillRange(0x20, 0xFFFFFFF0u, 0x33));
    EXPECT_EQ(image[0x1F], 0xFF);
    EXPECT_EQ(image[0xFF], 0x33);
    EXPECT_EQ(image[0x100], 0xFF);

    EXPECT_FALSE(data->fillRange(0x100, 1, 0x00)) << "the start must lie inside the data";
    EXPECT_EQ(image[0x100], 0xFF);
    EXPECT_FALSE(data->isChanged(0x100));
}

TEST(DataBuffer, FillRangeMarksExactlyAnUnalignedRange) {
    auto data = makeBuffer(0x100);
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->fillRange(3, 0, 0x00)) << "a count of 0 still counts as done";
    EXPECT_FALSE(data->isChanged(3));
    EXPECT_TRUE(data->fillRange(3, 30, 0x00));
    for (std::uint32_t i = 0; i < 40; ++i) {
        EXPECT_EQ(data->isChanged(i), i >= 3 && i < 33) << "byte " << i;
    }
}

TEST(DataBuffer, ClearMarksLeavesThePartialLastMapByte) {
    auto data = makeBuffer(20);
    ASSERT_TRUE(data);
    for (std::uint32_t i : {0u, 15u, 16u, 19u, 100u})
        data->markChanged(i);
    data->markChanged(kImageSize);  // no bit: must not touch memory past the map
    data->clearMarks();
    EXPECT_FALSE(data->isChanged(0));
    EXPECT_FALSE(data->isChanged(15));
    EXPECT_TRUE(data->isChanged(16));
    EXPECT_TRUE(data->isChanged(19));
    EXPECT_TRUE(data->isChanged(100));
}

// Choosing a smaller chip changes only the data length; what lies beyond it
// survives every buffer operation and shows again with the larger chip.
TEST(DataBuffer, ASmallerChipLeavesBytesBeyondItUntouched) {
    constexpr std::uint32_t kLarge = 0x100000;
    constexpr std::uint32_t kSmall = 0x20000;
    auto data = makeBuffer(kLarge);
    ASSERT_TRUE(data);
    ASSERT_TRUE(data->fillRange(0, kLarge, 0x11));
    data->setDataLength(kSmall);
    data->blank(kSmall);
    data->clearMarks();
    ASSERT_TRUE(data->fillRange(0, kLarge, 0x22));
    data->swapBytes();
    data->setDataLength(kLarge);
    const unsigned char* image = data->image();
    EXPECT_EQ(image[kSmall - 1], 0x22);
    EXPECT_TRUE(
        std::all_of(image + kSmall, image + kLarge, [](unsigned char b) { return b == 0x11; }));
    EXPECT_FALSE(data->isChanged(kSmall - 1));
    EXPECT_TRUE(data->isChanged(kSmall));
    EXPECT_TRUE(data->isChanged(kLarge - 1));
}

TEST(HexText, FirstNonHexFindsTheFirstBadCharacter) {
    EXPECT_EQ(buffer::firstNonHex(""), -1);
    EXPECT_EQ(buffer::firstNonHex("09afAF"), -1);
    EXPECT_EQ(buffer::firstNonHex("12G"), 2);
    EXPECT_EQ(buffer::firstNonHex("x1"), 0);
    EXPECT_EQ(buffer::firstNonHex("1 2"), 1);
}

TEST(HexText, ParseHexTakesBothCasesAndTheEmptyText) {
    std::uint32_t value = 99;
    EXPECT_TRUE(buffer::parseHex("", &value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(buffer::parseHex("a", &value));
    EXPECT_EQ(value, 0x0Au);
    EXPECT_TRUE(buffer::parseHex("FfFfFf", &value));
    EXPECT_EQ(value, 0xFFFFFFu);
    EXPECT_TRUE(buffer::parseHex("0000000012345678", &value));
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_FALSE(buffer::parseHex("12G", &value));
    EXPECT_FALSE(buffer::parseHex("-1", &value));
    EXPECT_FALSE(buffer::parseHex("100000000", &value)) << "does not fit in 32 bits";
}

}  // namespace
