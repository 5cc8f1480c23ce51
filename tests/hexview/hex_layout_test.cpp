#include "hexview/hex_layout.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using hexview::HexLayout;
using hexview::ScrollCode;

namespace {

constexpr uint32_t k16MB = 16777216;

// Centre of a cell, as a user would click it.
int clickX(int column) {
    return hexview::columnX(column) + 3;
}
int clickY(int line) {
    return hexview::lineY(line) + 7;
}

HexLayout layoutFor(uint32_t length) {
    HexLayout layout;
    layout.setDataLength(length);
    return layout;
}

TEST(HexLayoutRows, RowsStepAndScrollRangeFollowTheDataLength) {
    struct Case {
        uint32_t length, maxTopRow, step, rangeMax, rowsShown;
    };
    const Case cases[] = {
        {0, 0, 1, 1, 0},
        {128, 0, 1, 1, 8},
        {384, 0, 1, 1, 24},
        {399, 0, 1, 1, 24},  // the last 15 bytes are never shown
        {400, 1, 1, 2, 24},
        {65536, 4072, 1, 4073, 24},
        {65537, 4072, 16, 255, 24},
        {k16MB, 1048552, 16, 65535, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const HexLayout layout = layoutFor(c.length);
        EXPECT_EQ(layout.maxTopRow(), c.maxTopRow);
        EXPECT_EQ(layout.scrollStep, c.step);
        EXPECT_EQ(layout.scrollRangeMaximum(), c.rangeMax);
        EXPECT_EQ(layout.rowsShown(), c.rowsShown);
    }
}

TEST(HexLayoutScroll, NoCodeMovesASmallChip) {
    HexLayout layout = layoutFor(128);
    EXPECT_FALSE(layout.scroll(ScrollCode::LineDown));
    EXPECT_FALSE(layout.scroll(ScrollCode::PageDown));
    EXPECT_FALSE(layout.scroll(ScrollCode::LineUp));
    EXPECT_FALSE(layout.scroll(ScrollCode::PageUp));
    EXPECT_FALSE(layout.scroll(ScrollCode::EndScroll));
    layout.scroll(ScrollCode::ThumbTrack, 1);  // the range's extra unit
    layout.scroll(ScrollCode::Bottom);
    EXPECT_EQ(layout.topRow, 0u);
    EXPECT_EQ(layout.rowsShown(), 8u);
}

TEST(HexLayoutScroll, ThumbAtTheEndOf16MBShowsTheLast24Rows) {
    HexLayout layout = layoutFor(k16MB);
    ASSERT_TRUE(layout.scroll(ScrollCode::ThumbTrack, 65535));
    EXPECT_EQ(layout.topRow, 1048552u);
    EXPECT_EQ(layout.rowsShown(), 24u);
    EXPECT_EQ((layout.topRow + layout.rowsShown()) * 16, k16MB);
    EXPECT_EQ(layout.scrollBarPosition(), 65534u);

    ASSERT_TRUE(layout.scroll(ScrollCode::ThumbPosition, 2));
    EXPECT_EQ(layout.topRow, 32u);
    layout.scroll(ScrollCode::ThumbTrack, -5);
    EXPECT_EQ(layout.topRow, 0u);
}

TEST(HexLayoutScroll, StepsStopAtBothEnds) {
    HexLayout layout = layoutFor(k16MB);
    layout.topRow = 10;
    ASSERT_TRUE(layout.scroll(ScrollCode::PageUp));
    EXPECT_EQ(layout.topRow, 0u) << "page up from row 10 with step 16";
    EXPECT_FALSE(layout.scroll(ScrollCode::LineUp));

    ASSERT_TRUE(layout.scroll(ScrollCode::LineDown));
    ASSERT_TRUE(layout.scroll(ScrollCode::PageDown));
    EXPECT_EQ(layout.topRow, 17u);

    layout.topRow = layout.maxTopRow() - 3;
    ASSERT_TRUE(layout.scroll(ScrollCode::PageDown));
    EXPECT_EQ(layout.topRow, layout.maxTopRow());
    EXPECT_FALSE(layout.scroll(ScrollCode::PageDown));
    EXPECT_FALSE(layout.scroll(ScrollCode::LineDown));
    ASSERT_TRUE(layout.scroll(ScrollCode::Top));
    EXPECT_EQ(layout.topRow, 0u);

    HexLayout small = layoutFor(65536);
    ASSERT_TRUE(small.scroll(ScrollCode::PageDown));
    EXPECT_EQ(small.topRow, 1u) << "a page is one row up to 64 KB";
}

TEST(HexLayoutScroll, WheelMovesOneRowWithinTheEnds) {
    HexLayout layout = layoutFor(400);
    layout.wheel(+1);
    EXPECT_EQ(layout.topRow, 0u);
    layout.wheel(-1);
    layout.wheel(-1);
    EXPECT_EQ(layout.topRow, 1u);
    layout.wheel(+1);
    EXPECT_EQ(layout.topRow, 0u);
    EXPECT_FALSE(layout.wheel(0));
}

TEST(HexLayoutScroll, WheelNotchesIgnoreZeroAndAddUpPartialSteps) {
    hexview::WheelNotches notches;
    EXPECT_EQ(notches.feed(0), 0) << "touchpad begin/end events";
    EXPECT_EQ(notches.feed(-120), -1);
    EXPECT_EQ(notches.feed(120), 1);
    EXPECT_EQ(notches.feed(480), 1) << "one row per event, however far";
    EXPECT_EQ(notches.feed(0), 0);
    int rows = 0;
    for (int i = 0; i < 16; ++i)
        rows += notches.feed(-15);
    EXPECT_EQ(rows, -2);
    EXPECT_EQ(notches.feed(60), 0);
    EXPECT_EQ(notches.feed(-60), 0) << "turning back starts a new notch";
    EXPECT_EQ(notches.feed(-60), -1);
}

TEST(HexLayoutData, NewDataGoesToTheTopAndKeepsTheCaret) {
    HexLayout layout = layoutFor(k16MB);
    layout.topRow = 500;
    ASSERT_TRUE(layout.click(clickX(8), clickY(1)));
    layout.setDataLength(65536);
    EXPECT_EQ(layout.topRow, 0u);
    EXPECT_EQ(layout.scrollStep, 1u);
    EXPECT_EQ(layout.caret, 16001u);
    EXPECT_EQ(layout.markStart, 16001u);
    EXPECT_EQ(layout.markEnd, 16001u);
}

TEST(HexLayoutClick, HexColumnsPickNibbles) {
    HexLayout layout = layoutFor(k16MB);
    ASSERT_TRUE(layout.click(clickX(23), clickY(3)));  // byte 5's low digit
    EXPECT_EQ(layout.caret, 75u);
    EXPECT_FALSE(layout.asciiArea);
    EXPECT_EQ(layout.markStart, 75u);
    EXPECT_EQ(layout.markEnd, 75u);
    EXPECT_EQ(layout.highlightFirst(), 37u);
    EXPECT_EQ(layout.highlightLast(), 37u);

    layout.click(clickX(22), clickY(3));
    EXPECT_EQ(layout.caret, 74u);
    layout.click(clickX(24), clickY(3));  // gap: next byte's high digit
    EXPECT_EQ(layout.caret, 76u);
    layout.click(clickX(54), clickY(1));  // gap after byte 15: next row's first byte
    EXPECT_EQ(layout.caret, 32u);
    layout.click(hexview::columnX(7), hexview::lineY(1));
    EXPECT_EQ(layout.caret, 0u);

    layout.topRow = 100;
    layout.click(clickX(8), clickY(2));
    EXPECT_EQ(layout.caret, 32u * 101 + 1);
}

TEST(HexLayoutClick, CharacterColumnPicksBytes) {
    HexLayout layout = layoutFor(k16MB);
    ASSERT_TRUE(layout.click(clickX(58), clickY(2)));
    EXPECT_TRUE(layout.asciiArea);
    EXPECT_EQ(layout.caret, 2u * 19);
    ASSERT_TRUE(layout.click(clickX(70), clickY(1)));
    EXPECT_EQ(layout.caret, 30u);

    // Right of the characters: the caret stays, but the click still counts.
    EXPECT_TRUE(layout.click(clickX(75), clickY(4)));
    EXPECT_EQ(layout.caret, 30u);
    EXPECT_TRUE(layout.asciiArea);
}

TEST(HexLayoutClick, OutsideTheCellsNothingChanges) {
    HexLayout layout = layoutFor(k16MB);
    layout.click(clickX(23), clickY(3));
    for (const auto& [x, y] : {std::pair{clickX(6), clickY(3)},
                               {clickX(20), clickY(0)},
                               {clickX(20), clickY(21)},
                               {clickX(20), clickY(22)},
                               {0, clickY(3)},
                               {clickX(20), -40},
                               {-9, -9}}) {
        SCOPED_TRACE(testing::Message() << x << "," << y);
        EXPECT_FALSE(layout.click(x, y));
        EXPECT_EQ(layout.caret, 75u);
    }
}

TEST(HexLayoutClick, BelowTheDataTheCaretGoesBehindTheLastByte) {
    HexLayout layout = layoutFor(128);
    ASSERT_TRUE(layout.click(clickX(20), clickY(12)));
    EXPECT_EQ(layout.caret, 256u);
    EXPECT_EQ(layout.caretByte(), layout.dataLength);
    ASSERT_TRUE(layout.click(clickX(56), clickY(9)));
    EXPECT_EQ(layout.caret, 256u);
    EXPECT_TRUE(layout.asciiArea);
}

class HexLayoutTyping : public testing::Test {
  protected:
    static constexpr uint32_t kLength = 128;
    // The image has bytes beyond the data length, as the real buffer does; typing must
    // never reach them.
    std::vector<uint8_t> image = std::vector<uint8_t>(kLength + 64, 0xA5);
    std::vector<uint8_t> map = std::vector<uint8_t>(kLength / 8 + 8, 0);
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
    EXPECT_EQ(layout.markStart, 76u);
    EXPECT_EQ(layout.markEnd, 76u);
    EXPECT_EQ(image[36], 0xA5u);
    EXPECT_EQ(image[38], 0xA5u);

    image[38] = 0xFF;
    ASSERT_TRUE(type("3"));
    EXPECT_EQ(image[38], 0x3Fu);
    ASSERT_TRUE(type("E"));
    EXPECT_EQ(image[38], 0x3Eu);
    EXPECT_EQ(layout.caret, 78u);

    EXPECT_FALSE(type("g"));
    EXPECT_FALSE(type(" "));
    EXPECT_EQ(layout.caret, 78u);

    map.assign(map.size(), 0);
    ASSERT_TRUE(type("a5"));
    EXPECT_EQ(image[39], 0xA5u);
    EXPECT_EQ(map[4], 1u << 7) << "marked even when the value stays the same";
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
    EXPECT_EQ(image[1], uint8_t{'z'});
    EXPECT_EQ(map[0], 0x03u);
    EXPECT_EQ(layout.caret, 4u);
    EXPECT_EQ(hexview::displayChar(image[0]), '.');
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

    // A caret left far out by a larger chip is behind the data of a smaller one.
    HexLayout big = layoutFor(k16MB);
    big.click(clickX(7), clickY(20));
    big.setDataLength(kLength);
    EXPECT_FALSE(big.typeChar('1', image.data(), map.data()));

    HexLayout empty;
    EXPECT_FALSE(empty.typeChar('1', nullptr, nullptr));
    empty.setDataLength(kLength);
    EXPECT_FALSE(empty.typeChar('1', nullptr, map.data()));
}

TEST(HexLayoutText, CharacterColumnAndAddresses) {
    EXPECT_EQ(hexview::displayChar(0x41), 'A');
    EXPECT_EQ(hexview::displayChar(0x30), '0');
    EXPECT_EQ(hexview::displayChar(0x7A), 'z');
    for (uint8_t hidden : {0x20, 0x2F, 0x7B, 0x7E, 0x80, 0xE9, 0x00, 0xFF})
        EXPECT_EQ(hexview::displayChar(hidden), '.') << int{hidden};
    EXPECT_EQ(hexview::hexDigit(0xE), 'E');

    EXPECT_STREQ(hexview::rowAddressText(0x12345).text, "123450 ");
    EXPECT_STREQ(hexview::rowAddressText(1).text, "000010 ");
    EXPECT_STREQ(hexview::rowAddressText(0).text, "000000 ");
    EXPECT_STREQ(hexview::rowAddressText(0xFFFFF).text, "FFFFF0 ");
    EXPECT_EQ(hexview::rowAddressText(0xFFFFF).length, 7);
}

}  // namespace
