// SPDX-License-Identifier: GPL-3.0-or-later
#include "hexview/hex_layout.h"

#include <algorithm>

#include "buffer/data_buffer.h"
#include "util/hex_digit.h"

namespace hexview {

namespace {

constexpr std::uint8_t kFirstShownChar = 0x30;  // "0"
constexpr std::uint8_t kLastShownChar = 0x7A;   // "z"
constexpr char kHiddenChar = '.';
// The character column accepts the blank up to "z"; "{" and above are ignored.
constexpr std::uint32_t kFirstTypeableChar = 0x20;
constexpr std::uint32_t kLastTypeableChar = 0x7A;
constexpr int kMinAddressDigits = 6;

// Cell column or line of a pixel coordinate; coordinates in the margin count as 0.
int cellIndex(int pixel, int cellSize) {
    return pixel < kMargin ? 0 : (pixel - kMargin) / cellSize;
}

// A typed character code is a hex digit only within 7-bit ASCII.
constexpr std::uint32_t kLastAsciiCode = 0x7F;

int hexDigitOfCode(std::uint32_t code) {
    return code <= kLastAsciiCode ? util::hexDigitValue(static_cast<char>(code))
                                  : util::kNotHexDigit;
}

}  // namespace

char displayChar(std::uint8_t byte) {
    return byte >= kFirstShownChar && byte <= kLastShownChar ? static_cast<char>(byte)
                                                             : kHiddenChar;
}

char hexDigit(unsigned nibble) {
    return "0123456789ABCDEF"[nibble & 0xFu];
}

RowAddressText rowAddressText(std::uint32_t row) {
    const std::uint32_t address = row * kBytesPerRow;
    int digits = kMinAddressDigits;
    while (digits < 8 && (address >> (4 * digits)) != 0)
        ++digits;
    RowAddressText out{};
    for (int i = 0; i < digits; ++i)
        out.text[i] = hexDigit(address >> (4 * (digits - 1 - i)));
    out.text[digits] = ' ';
    out.text[digits + 1] = '\0';
    out.length = digits + 1;
    return out;
}

std::uint32_t maxTopRow(std::uint32_t dataLength) {
    const std::uint32_t rows = dataLength / kBytesPerRow;
    return rows <= kVisibleRows ? 0 : rows - kVisibleRows;
}

std::uint32_t scrollStepFor(std::uint32_t dataLength) {
    return dataLength > kOneRowScrollLimit ? kLargeScrollStep : 1;
}

std::uint32_t scrollRangeMaximum(std::uint32_t dataLength) {
    return maxTopRow(dataLength) / scrollStepFor(dataLength) + 1;
}

int WheelNotches::feed(int verticalDelta) {
    if (verticalDelta == 0)
        return 0;
    // A turn the other way starts a new notch.
    if ((pending_ > 0 && verticalDelta < 0) || (pending_ < 0 && verticalDelta > 0))
        pending_ = 0;
    pending_ += std::clamp(verticalDelta, -kNotch, kNotch);
    if (pending_ >= kNotch || pending_ <= -kNotch) {
        const int direction = pending_ > 0 ? 1 : -1;
        pending_ %= kNotch;
        return direction;
    }
    return 0;
}

void HexLayout::setDataLength(std::uint32_t length) {
    dataLength = std::min(length, buffer::kImageSize);
    topRow = 0;
    scrollStep = scrollStepFor(length);
}

std::uint32_t HexLayout::rowsShown() const {
    const std::uint32_t rows = dataLength / kBytesPerRow;
    return topRow >= rows ? 0 : std::min(kVisibleRows, rows - topRow);
}

std::uint32_t HexLayout::highlightFirst() const {
    return std::min(markStart, markEnd) / 2;
}
std::uint32_t HexLayout::highlightLast() const {
    return std::max(markStart, markEnd) / 2;
}

bool HexLayout::scroll(ScrollCode code, int thumbPosition) {
    const std::uint32_t last = maxTopRow();
    switch (code) {
        case ScrollCode::LineUp:
            if (topRow == 0)
                return false;
            --topRow;
            break;
        case ScrollCode::LineDown:
            if (topRow >= last)
                return false;
            ++topRow;
            break;
        case ScrollCode::PageUp:
            if (topRow == 0)
                return false;
            topRow = topRow > scrollStep ? topRow - scrollStep : 0;
            break;
        case ScrollCode::PageDown:
            if (topRow >= last)
                return false;
            topRow = std::min(topRow + scrollStep, last);
            break;
        case ScrollCode::ThumbPosition:
        case ScrollCode::ThumbTrack: {
            const std::uint64_t rows =
                std::uint64_t{scrollStep} * static_cast<std::uint32_t>(std::max(thumbPosition, 0));
            topRow = static_cast<std::uint32_t>(std::min<std::uint64_t>(rows, last));
            break;
        }
        case ScrollCode::Top:
            topRow = 0;
            break;
        case ScrollCode::Bottom:
            topRow = last;
            break;
        case ScrollCode::EndScroll:
            return false;
    }
    topRow = std::min(topRow, last);
    return true;
}

bool HexLayout::wheel(int direction) {
    if (direction > 0) {
        if (topRow > 0)
            --topRow;
    } else if (direction < 0) {
        if (topRow < maxTopRow())
            ++topRow;
    } else {
        return false;
    }
    return true;
}

bool HexLayout::click(int x, int y) {
    const int column = cellIndex(x, kCellWidth);
    const int line = cellIndex(y, kCellHeight);
    if (column < kAddressColumns || line < 1 || line > kLastClickableLine)
        return false;

    const std::uint64_t row = std::uint64_t{topRow} + static_cast<std::uint32_t>(line - 1);
    std::uint64_t nibble = caret;
    if (column < kFirstCharColumn) {
        // Each byte takes three columns: high digit, low digit, gap. The gap counts as
        // the next byte's high digit.
        asciiArea = false;
        nibble = 2 * kBytesPerRow * row + static_cast<std::uint32_t>(2 * column - 12) / 3;
    } else if (column < kEndCharColumn) {
        asciiArea = true;
        nibble = 2 * (kBytesPerRow * row + static_cast<std::uint32_t>(column - kFirstCharColumn));
    }
    // Rows below the data put the caret behind the last byte.
    if (nibble / 2 >= dataLength)
        nibble = std::uint64_t{2} * dataLength;
    caret = static_cast<std::uint32_t>(nibble);
    markCaret();
    return true;
}

bool HexLayout::typeChar(std::uint32_t code, std::uint8_t* image, std::uint8_t* changedMap) {
    // Behind the last byte (also after a new, shorter chip was chosen) nothing is written:
    // the bytes there do not belong to the chip.
    if (image == nullptr || changedMap == nullptr || caretByte() >= dataLength)
        return false;
    const std::uint32_t byte = caretByte();
    if (asciiArea) {
        if (code < kFirstTypeableChar || code > kLastTypeableChar)
            return false;
        revealCaretRow();
        image[byte] = static_cast<std::uint8_t>(code);
        caret = (caret & ~1u) + 2;
    } else {
        const int value = hexDigitOfCode(code);
        if (value == util::kNotHexDigit)
            return false;
        revealCaretRow();
        const bool lowNibble = (caret & 1u) != 0;
        image[byte] = lowNibble ? static_cast<std::uint8_t>((image[byte] & 0xF0) | value)
                                : static_cast<std::uint8_t>((image[byte] & 0x0F) | (value << 4));
        caret += 1;
    }
    // Marked even when the value stays the same.
    buffer::markChangedIn(changedMap, byte);
    markCaret();
    return true;
}

void HexLayout::showRange(std::uint32_t first, std::uint32_t count) {
    if (dataLength == 0)
        return;
    first = std::min(first, dataLength - 1);
    const std::uint32_t last = first + std::min(std::max(count, 1u), dataLength - first) - 1;
    asciiArea = false;
    caret = markStart = 2 * first;
    markEnd = 2 * last;
    topRow = std::min(first / kBytesPerRow, maxTopRow());
}

void HexLayout::revealCaretRow() {
    // The fewest rows of scrolling that show the caret's row; a final partial row is
    // never shown, so the view stops at its last top row.
    const std::uint32_t row = caretByte() / kBytesPerRow;
    if (row < topRow)
        topRow = row;
    else if (row >= topRow + kVisibleRows)
        topRow = std::min(row - (kVisibleRows - 1), maxTopRow());
}

}  // namespace hexview
