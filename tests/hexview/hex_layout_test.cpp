// SPDX-License-Identifier: GPL-3.0-or-later
#include "hexview/hex_layout.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using hexview::HexLayout;
using hexview::ScrollCode;

namespace {

constexpr std::uint32_t k16MB = 16777216;

// Inside a cell, as a user would click it.
int clickX(int column) {
    return hexview::columnX(column) + 3;
}
int clickY(int line) {
    return hexview::lineY(line) + 7;
}

HexLayout layoutFor(std::uint32_t length) {
    HexLayout layout;
    layout.setDataLength(length);
    return layout;
}

TEST(HexLayoutScroll, RowsStepAndRangeFollowTheDataLength) {
    struct Case {
        std::uint32_t length, maxTopRow, step, rangeMax, rowsShown;
    };
    for (const Case& c :
         {Case{0, 0, 1, 1, 0}, Case{128, 0, 1, 1, 8}, Case{384, 0, 1, 1, 24},
          Case{399, 0, 1, 1, 24}, Case{400, 1, 1, 2, 24}, Case{65536, 4072, 1, 4073, 24},
          Case{65537, 4072, 16, 255, 24}, Case{k16MB, 1048552, 16, 65535, 24}}) {
        SCOPED_TRACE(c.length);
        const HexLayout layout = layoutFor(c.length);
        EXPECT_EQ(layout.maxTopRow(), c.maxTopRow);
        EXPECT_EQ(layout.scrollStep, c.step);
        EXPECT_EQ(layout.scrollRangeMaximum(), c.rangeMax);
        EXPECT_EQ(layout.rowsShown(), c.rowsShown);
    }
    EXPECT_EQ(layoutFor(k16MB + 16).dataLength, k16MB) << "never rows beyond the image";

    HexLayout small = layoutFor(128);
    for (ScrollCode code : {ScrollCode::LineDown, ScrollCode::PageDown, ScrollCode::LineUp,
                            ScrollCode::PageUp, ScrollCode::EndScroll})
        EXPECT_FALSE(small.scroll(code));
    small.scroll(ScrollCode::ThumbTrack, 1);  // the range's extra unit
    small.scroll(ScrollCode::Bottom);
    EXPECT_EQ(small.topRow, 0u);
}

TEST(HexLayoutScroll, CodesStopAtBothEnds) {
    HexLayout layout = layoutFor(k16MB);
    ASSERT_TRUE(layout.scroll(ScrollCode::ThumbTrack, 65535));
    EXPECT_EQ(layout.topRow, 1048552u);
    EXPECT_EQ((layout.topRow + layout.rowsShown()) * 16, k16MB) << "the last 24 rows";
    EXPECT_EQ(layout.scrollBarPosition(), 65534u);
    EXPECT_FALSE(layout.scroll(ScrollCode::PageDown));
    EXPECT_FALSE(layout.scroll(ScrollCode::LineDown));

    layout.topRow = 10;
    ASSERT_TRUE(layout.scroll(ScrollCode::PageUp));
    EXPECT_EQ(layout.topRow, 0u) << "page up from row 10 with step 16";
    EXPECT_FALSE(layout.scroll(ScrollCode::LineUp));
    layout.scroll(ScrollCode::LineDown);
    layout.scroll(ScrollCode::PageDown);
    EXPECT_EQ(layout.topRow, 17u);
    layout.topRow = layout.maxTopRow() - 3;
    layout.scroll(ScrollCode::PageDown);
    EXPECT_EQ(layout.topRow, layout.maxTopRow());
    layout.scroll(ScrollCode::ThumbPosition, -5);
    EXPECT_EQ(layout.topRow, 0u);

    layout.wheel(+1);
    EXPECT_EQ(layout.topRow, 0u);
    layout.wheel(-1);
    EXPECT_EQ(layout.topRow, 1u);
}

TEST(HexLayoutScroll, WheelNotchesIgnoreZeroAndAddUpPartialSteps) {
    hexview::WheelNotches notches;
    EXPECT_EQ(notches.feed(0), 0) << "touchpad begin/end events";
    EXPECT_EQ(notches.feed(-120), -1);
    EXPECT_EQ(notches.feed(480), 1) << "one row per event, however far";
    int rows = 0;
    for (int i = 0; i < 16; ++i)
        rows += notches.feed(-15);
    EXPECT_EQ(rows, -2);
    EXPECT_EQ(notches.feed(60), 0);
    EXPECT_EQ(notches.feed(-60), 0) << "turning back starts a new notch";
    EXPECT_EQ(notches.feed(-60), -1);
}

TEST(HexLayoutClick, CellsGiveNibblesOrCharacters) {
    HexLayout layout = layoutFor(k16MB);
    struct Case {
        int column, line;
        std::uint32_t caret;
        bool ascii;
    };
    for (const Case& c : {Case{23, 3, 75, false},  // byte 5's low digit on line 3: byte 37
                          Case{22, 3, 74, false}, Case{24, 3, 76, false},  // gap: next byte
                          Case{54, 1, 32, false},  // gap after byte 15: the next row
                          Case{58, 2, 38, true}, Case{70, 1, 30, true},
                          Case{75, 4, 30, true}}) {  // right of the characters: caret stays
        SCOPED_TRACE(testing::Message() << c.column << "," << c.line);
        ASSERT_TRUE(layout.click(clickX(c.column), clickY(c.line)));
        EXPECT_EQ(layout.caret, c.caret);
        EXPECT_EQ(layout.asciiArea, c.ascii);
        EXPECT_EQ(layout.markStart, c.caret);
        EXPECT_EQ(layout.markEnd, c.caret);
    }
    // Every line that shows a row takes the click, the last of the 24 too.
    layout.topRow = 100;
    ASSERT_TRUE(layout.click(clickX(8), clickY(24)));
    EXPECT_EQ(layout.caret, 32u * 123 + 1);
    layout.click(clickX(8), clickY(2));
    EXPECT_EQ(layout.caret, 32u * 101 + 1);

    // Address column, heading line, the line below the rows, the margin: nothing changes.
    for (const auto& [x, y] : {std::pair{clickX(6), clickY(3)},
                               {clickX(20), clickY(0)},
                               {clickX(20), clickY(25)},
                               {0, clickY(3)},
                               {-9, -9}}) {
        EXPECT_FALSE(layout.click(x, y)) << x << "," << y;
        EXPECT_EQ(layout.caret, 32u * 101 + 1);
    }

    // New data goes to the top; the caret stays.
    layout.setDataLength(65536);
    EXPECT_EQ(layout.topRow, 0u);
    EXPECT_EQ(layout.caret, 32u * 101 + 1);
}

class HexLayoutTyping : public testing::Test {
  protected:
    static constexpr std::uint32_t kLength = 128;
    // Bytes beyond the data length exist, as in the real image; typing never reaches them.
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(kLength + 64, 0xA5);
    std::vector<std::uint8_t> map = std::vector<std::uint8_t>(kLength / 8 + 8, 0);
    HexLayout layout = layoutFor(kLength);

    bool type(const std::string& text) {
        bool all = true;
        for (unsigned char c : text)
            all = layout.typeChar(c, image.data(), map.data()) && all;
        return all;
    }
};

TEST_F(HexLayoutTyping, HexDigitsReplaceOneNibbleAndMarkTheByte) {
    layout.click(clickX(23), clickY(3));
    ASSERT_TRUE(type("c"));
    EXPECT_EQ(image[37], 0xACu);
    EXPECT_EQ(map[4], 1u << 5);
    EXPECT_EQ(layout.caret, 76u) << "byte 38, high nibble";
    EXPECT_EQ(layout.markEnd, 76u);
    EXPECT_EQ(image[38], 0xA5u);

    image[38] = 0xFF;
    ASSERT_TRUE(type("3"));
    EXPECT_EQ(image[38], 0x3Fu);
    EXPECT_FALSE(type("g"));
    EXPECT_FALSE(type(" "));
    ASSERT_TRUE(type("E"));
    EXPECT_EQ(image[38], 0x3Eu);

    map.assign(map.size(), 0);
    ASSERT_TRUE(type("a5"));
    EXPECT_EQ(image[39], 0xA5u);
    EXPECT_EQ(map[4], 1u << 7) << "marked even when the value stays the same";
}

TEST_F(HexLayoutTyping, AKeyThatTakesBringsTheCaretsRowIntoViewFirst) {
    image.assign(4096 + 64, 0xA5);
    map.assign(4096 / 8, 0);
    layout.setDataLength(4096);
    layout.click(clickX(10), clickY(5));  // byte 65's high digit, row 4
    layout.topRow = 40;
    EXPECT_FALSE(type("g")) << "a key that is refused scrolls nothing";
    EXPECT_EQ(layout.topRow, 40u);
    ASSERT_TRUE(type("1"));
    EXPECT_EQ(layout.topRow, 4u) << "from below: the row at the top";
    EXPECT_EQ(image[65], 0x15u);

    layout.click(clickX(10), clickY(24));  // row 27
    layout.topRow = 0;
    ASSERT_TRUE(type("2"));
    EXPECT_EQ(layout.topRow, 4u) << "from above: the row at the bottom";
}

TEST_F(HexLayoutTyping, CharacterColumnTakesBlankToLowerZ) {
    layout.click(clickX(55), clickY(1));
    EXPECT_FALSE(type("{"));
    EXPECT_FALSE(type("~"));
    EXPECT_FALSE(type("\x1f"));
    EXPECT_FALSE(layout.typeChar(0xE9, image.data(), map.data()));
    EXPECT_EQ(image[0], 0xA5u);
    EXPECT_EQ(map[0], 0u);

    ASSERT_TRUE(type(" z"));
    EXPECT_EQ(image[0], 0x20u);
    EXPECT_EQ(image[1], std::uint8_t{'z'});
    EXPECT_EQ(map[0], 0x03u);
    EXPECT_EQ(layout.caret, 4u);
}

TEST_F(HexLayoutTyping, NothingIsWrittenBehindTheData) {
    layout.click(clickX(hexview::hexLowColumn(15)), clickY(8));  // last byte, low digit
    ASSERT_TRUE(type("0"));
    EXPECT_EQ(image[kLength - 1], 0xA0u);
    EXPECT_EQ(layout.caret, 2 * kLength);
    EXPECT_FALSE(type("1"));
    layout.asciiArea = true;
    EXPECT_FALSE(type("x"));
    EXPECT_EQ(image[kLength], 0xA5u);
    EXPECT_EQ(map[kLength / 8], 0u);

    layout.click(clickX(20), clickY(12));  // below the 8 rows of a 128-byte chip
    EXPECT_EQ(layout.caret, 2 * kLength);

    // A caret left far out by a larger chip is behind the data of a smaller one.
    HexLayout big = layoutFor(k16MB);
    big.click(clickX(7), clickY(20));
    big.setDataLength(kLength);
    EXPECT_FALSE(big.typeChar('1', image.data(), map.data()));
    HexLayout noData = layoutFor(kLength);
    EXPECT_FALSE(noData.typeChar('1', nullptr, nullptr));
}

TEST(HexLayoutText, CharacterColumnAndAddresses) {
    EXPECT_EQ(hexview::displayChar(0x41), 'A');
    EXPECT_EQ(hexview::displayChar(0x30), '0');
    EXPECT_EQ(hexview::displayChar(0x7A), 'z');
    for (std::uint8_t hidden : {0x20, 0x2F, 0x7B, 0x7E, 0x80, 0xE9, 0x00, 0xFF})
        EXPECT_EQ(hexview::displayChar(hidden), '.') << int{hidden};

    EXPECT_STREQ(hexview::rowAddressText(0x12345).text, "123450 ");
    EXPECT_STREQ(hexview::rowAddressText(1).text, "000010 ");
    EXPECT_STREQ(hexview::rowAddressText(0xFFFFF).text, "FFFFF0 ");
}

}  // namespace
