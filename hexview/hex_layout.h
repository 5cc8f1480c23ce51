// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The hex view's rules without any window in them: the cell grid, which rows are shown,
// how each scroll request and wheel notch moves them, where a click puts the caret, and
// what a typed character does to the buffer. The HexView widget paints what this says
// and forwards its events here, so every rule is tested without a display.
//
// The caret counts nibbles: byte b's high digit is 2b, its low digit 2b + 1. In the
// character column the caret is always even. 2 x data length is "behind the last byte":
// no caret is drawn there and typing there changes nothing.

#include <cstdint>

namespace hexview {

// Fixed character cell grid with a margin, whatever the font's own metrics are.
inline constexpr int kCellWidth = 8;
inline constexpr int kCellHeight = 16;
inline constexpr int kMargin = 2;

inline constexpr std::uint32_t kBytesPerRow = 16;
// Lines 1..24 show rows; line 0 holds the headings.
inline constexpr std::uint32_t kVisibleRows = 24;
// Every line that shows a row takes clicks.
inline constexpr int kLastClickableLine = static_cast<int>(kVisibleRows);
// Up to 64 KB one scroll-bar unit is one row; above it is 16 rows, which keeps the
// scroll range of a 16 MB image (65535 units) within 16 bits.
inline constexpr std::uint32_t kOneRowScrollLimit = 65536;
inline constexpr std::uint32_t kLargeScrollStep = 16;

// Columns of the grid: address "XXXXXX " in 0..6, byte j's hex digits in 3j + 7 and
// 3j + 8 with a gap cell in 3j + 9, byte j's character in 55 + j.
inline constexpr int kAddressHeadingColumn = 1;
inline constexpr int kAddressColumns = 7;
inline constexpr int kFirstHexColumn = 7;
inline constexpr int kFirstCharColumn = 55;
inline constexpr int kEndCharColumn = 71;
inline constexpr int kAsciiHeadingColumn = 59;
// The hex and character headings stand 3 pixels right of their column.
inline constexpr int kHeadingShift = 3;

constexpr int columnX(int column) {
    return kCellWidth * column + kMargin;
}
constexpr int lineY(int line) {
    return kCellHeight * line + kMargin;
}
constexpr int hexHighColumn(int j) {
    return 3 * j + kFirstHexColumn;
}
constexpr int hexLowColumn(int j) {
    return 3 * j + kFirstHexColumn + 1;
}
constexpr int gapColumn(int j) {
    return 3 * j + kFirstHexColumn + 2;
}
constexpr int charColumn(int j) {
    return kFirstCharColumn + j;
}

// Grid lines: under the heading line, between addresses and hex digits (in the
// address's blank cell), between hex digits and characters (in the unused gap after
// byte 15).
inline constexpr int kHeadingRuleY = 16;
inline constexpr int kHeadingRuleEndX = columnX(72);  // exclusive
inline constexpr int kAddressRuleX = columnX(6) + 4;
inline constexpr int kCharRuleX = columnX(54) + 4;

inline constexpr char kAddressHeading[] = "ADDR";
inline constexpr char kHexHeading[] = "0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F  ";
inline constexpr char kAsciiHeading[] = "ASCII";

// The character column shows "0" (0x30) to "z" (0x7A) as themselves, every other byte
// (blank, punctuation below "0", "{" "|" "}" "~", control codes, 0x80 and up) as ".".
char displayChar(std::uint8_t byte);
// Upper-case hex digit of a nibble (0..15).
char hexDigit(unsigned nibble);

// Row address text "%-.6X ": the row's first byte address in at least six upper-case hex
// digits with leading zeros, then a blank. Formatted without allocating.
struct RowAddressText {
    char text[10];
    int length;
};
RowAddressText rowAddressText(std::uint32_t row);

// Highest first row: 0 while the whole rows fit in the 24 lines, else rows - 24. A final
// partial row is never shown.
std::uint32_t maxTopRow(std::uint32_t dataLength);
// Rows per scroll-bar unit: 1 up to 64 KB, 16 above.
std::uint32_t scrollStepFor(std::uint32_t dataLength);
// The scroll bar's range is 0 .. maxTopRow / scrollStep + 1.
std::uint32_t scrollRangeMaximum(std::uint32_t dataLength);

enum class ScrollCode {
    LineUp,
    LineDown,
    PageUp,
    PageDown,
    ThumbPosition,
    ThumbTrack,
    Top,
    Bottom,
    EndScroll,
};

// Turns wheel distances into whole notches (120 units). A classic wheel sends one
// notch per event; a high-resolution wheel sends parts that add up; touchpads also
// send zero-distance begin/end events, which must never move the view.
class WheelNotches {
  public:
    static constexpr int kNotch = 120;
    // Returns +1 for one row up (away from the user), -1 for one row down, 0 for none.
    // One event moves at most one row, however far the wheel turned.
    int feed(int verticalDelta);

  private:
    int pending_ = 0;
};

// Everything the view knows besides its window, its data pointers and its blink phase.
struct HexLayout {
    std::uint32_t dataLength = 0;
    std::uint32_t topRow = 0;
    std::uint32_t scrollStep = 1;
    // Byte 0, high nibble, in the hex columns, with byte 0 highlighted, until the first
    // click.
    std::uint32_t caret = 0;
    bool asciiArea = false;
    std::uint32_t markStart = 0;
    std::uint32_t markEnd = 0;

    // New data: back to the top with the step for this length; caret and highlight stay.
    // A length above the buffer's 16 MB image (buffer::kImageSize) is cut to it, so no
    // row beyond the image is read.
    void setDataLength(std::uint32_t length);

    std::uint32_t maxTopRow() const { return hexview::maxTopRow(dataLength); }
    std::uint32_t scrollRangeMaximum() const { return hexview::scrollRangeMaximum(dataLength); }
    std::uint32_t scrollBarPosition() const { return topRow / scrollStep; }
    // Rows drawn from topRow on: at most 24, only whole rows of the data.
    std::uint32_t rowsShown() const;
    // The highlighted byte range, both ends included.
    std::uint32_t highlightFirst() const;
    std::uint32_t highlightLast() const;
    // The byte the caret stands on; equal to dataLength behind the last byte.
    std::uint32_t caretByte() const { return caret / 2; }

    // Applies a scroll-bar request; thumbPosition counts scroll-bar units. Returns false
    // when nothing happens (already at that end, end of scroll): no repaint then.
    bool scroll(ScrollCode code, int thumbPosition = 0);
    // One row up (+1) or down (-1), stopping at either end. Returns false for 0.
    bool wheel(int direction);
    // A left click at view pixel (x, y). Returns false when the click changes nothing
    // (address column, heading line, below the last row line); else the caret has been
    // placed.
    bool click(int x, int y);
    // A typed character code. Returns false when it is ignored (not a hex digit in the
    // hex columns, outside blank..'z' in the character column, caret behind the data,
    // no data). Otherwise scrolls the caret's row into view (the user sees what the key
    // changes), writes the byte, sets its changed bit and moves the caret.
    bool typeChar(std::uint32_t code, std::uint8_t* image, std::uint8_t* changedMap);

    // Puts the caret on byte `first`, highlights `count` bytes from it (at least one, cut
    // at the data's end) and scrolls so that its row is the top one where the view can.
    // Nothing changes without data.
    void showRange(std::uint32_t first, std::uint32_t count);

  private:
    void revealCaretRow();
    void markCaret() { markStart = markEnd = caret; }
};

}  // namespace hexview
