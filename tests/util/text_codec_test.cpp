// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/text_codec.h"

#include <gtest/gtest.h>

using util::gbkToUtf8;
using util::utf8ToGbk;

namespace {

// "芯片" in GBK.
const std::string kChipGbk = "\xD0\xBE\xC6\xAC";
const std::string kChipUtf8 = "芯片";

TEST(TextCodec, ConvertsBothWaysAndKeepsAsciiAsIs) {
    EXPECT_EQ(gbkToUtf8(kChipGbk), kChipUtf8);
    EXPECT_EQ(utf8ToGbk(kChipUtf8), kChipGbk);
    EXPECT_EQ(gbkToUtf8("EN25T80"), "EN25T80");
    EXPECT_EQ(utf8ToGbk("编程器器正忙，请稍后再试!"),
              utf8ToGbk(gbkToUtf8(utf8ToGbk("编程器器正忙，请稍后再试!"))));
    EXPECT_EQ(gbkToUtf8(""), "");
    // Full-width punctuation survives a round trip.
    EXPECT_EQ(gbkToUtf8(utf8ToGbk("“确定”，")), "“确定”，");
}

TEST(TextCodec, HalfACharacterAtTheEndIsReplacedNotLost) {
    // A value cut at a byte limit may end in the lead byte of a character.
    std::string cut = "ab" + kChipGbk + "\xD0";
    EXPECT_EQ(gbkToUtf8(cut), "ab" + kChipUtf8 + "\xEF\xBF\xBD");
}

TEST(TextCodec, InvalidBytesAreReplacedAndTheRestConverted) {
    // 0xFF is never a GBK byte; 0xD0 0x20 is a lead byte with an invalid trail.
    std::string bad = "x\xFF" + kChipGbk + "\xD0 y";
    EXPECT_EQ(gbkToUtf8(bad), "x\xEF\xBF\xBD" + kChipUtf8 + "\xEF\xBF\xBD y");
    // A character GBK has no code for, and a broken UTF-8 sequence.
    EXPECT_EQ(utf8ToGbk("a\xF0\x9F\x98\x80"
                        "b"),
              "a?b");
    EXPECT_EQ(utf8ToGbk("a\xE8\x8A"
                        "b" +
                        kChipUtf8),
              "a?b" + kChipGbk);
    EXPECT_EQ(utf8ToGbk("\xE8\x8A"), "?");
}

TEST(TextCodec, LongTextCrossesTheInternalBufferIntact) {
    std::string utf8;
    for (int i = 0; i < 2000; ++i)
        utf8 += kChipUtf8;
    std::string gbk = utf8ToGbk(utf8);
    EXPECT_EQ(gbk.size(), 8000u);
    EXPECT_EQ(gbkToUtf8(gbk), utf8);
}

}  // namespace
