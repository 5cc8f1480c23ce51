// SPDX-License-Identifier: GPL-3.0-or-later
#include "hexview/hex_view.h"

#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "buffer/data_buffer.h"

namespace hexview {

namespace {

// Cells hold the printable ASCII glyphs, blank to "~"; anything else is drawn blank.
constexpr int kFirstGlyph = 0x20;
constexpr int kLastGlyph = 0x7E;
constexpr int kGlyphCount = kLastGlyph - kFirstGlyph + 1;
constexpr int kCellPixels = kCellWidth * kCellHeight;
// 10 points at the 96 DPI the cell grid was drawn for, and a floor for the shrinking.
constexpr int kClassicPixelSize = 13;
constexpr int kSmallestPixelSize = 6;

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kCyan = qRgb(0, 255, 255);
const QRgb kLavender = qRgb(200, 200, 230);

// DejaVu Sans Mono, the Debian desktop's monospace face (fonts-dejavu-core, which the
// package depends on), else the system's fixed-pitch font. Its digits are drawn for
// the screen: at 13 pixels E and F, B and 8, 0 and D differ in whole strokes, where
// the shrunken typewriter face drawn before told them apart by two or three pixels. Checked by
// exact family name: the font matcher would quietly hand out any font for a missing name.
// The list of installed families is looked through, which asks the font configuration
// nothing more; asking whether a family exists would first resolve the name as an alias.
QString viewFontFamily() {
    const QString preferred = QStringLiteral("DejaVu Sans Mono");
    if (QFontDatabase::families().contains(preferred, Qt::CaseInsensitive))
        return preferred;
    return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
}

// The font, sized in pixels so that its glyphs fit the fixed 8 x 16 cells whatever
// the DPI setting: a point size grows with the DPI and would be clipped. It starts
// from 13 pixels (10 points at 96 DPI) and shrinks until a digit is at most a cell
// wide and the whole line, ascent and descent, at most a cell high. The face's own
// hinting for the screen draws whole one-pixel strokes without smoothing, so every
// text pixel has exactly the text colour: black, red and the inverted caret alike.
QFont viewFont() {
    QFont font(viewFontFamily());
    font.setFixedPitch(true);
    font.setStyleHint(QFont::TypeWriter);
    font.setStyleStrategy(QFont::NoAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    for (int pixels = kClassicPixelSize; pixels >= kSmallestPixelSize; --pixels) {
        font.setPixelSize(pixels);
        const QFontMetrics metrics(font);
        if (metrics.horizontalAdvance(QLatin1Char('0')) <= kCellWidth &&
            metrics.ascent() + metrics.descent() <= kCellHeight)
            break;
    }
    return font;
}

// A row of cells per style, each holding one printable glyph in the style's text
// colour on its background, placed as text drawn at the cell's position would be.
QImage drawGlyphSheet(const QFont& font, const QRgb* text, const QRgb* background, int styles) {
    const QFontMetrics metrics(font);
    // Glyphs start at the cell's top, as text drawn at a cell position does; a font
    // narrower than the cell is centred in it, a larger one is clipped to it.
    const int advance = metrics.horizontalAdvance(QLatin1Char('0'));
    const int left = std::max(0, (kCellWidth - advance) / 2);
    const int baseline = std::min(metrics.ascent(), kCellHeight - metrics.descent());

    QImage sheet(kCellWidth * kGlyphCount, kCellHeight * styles, QImage::Format_RGB32);
    QPainter painter(&sheet);
    painter.setFont(font);
    for (int style = 0; style < styles; ++style) {
        painter.setPen(QColor::fromRgb(text[style]));
        for (int glyph = 0; glyph < kGlyphCount; ++glyph) {
            const QRect cell(glyph * kCellWidth, style * kCellHeight, kCellWidth, kCellHeight);
            painter.setClipRect(cell);
            painter.fillRect(cell, QColor::fromRgb(background[style]));
            painter.drawText(cell.x() + left, cell.y() + baseline,
                             QString(QChar(kFirstGlyph + glyph)));
        }
    }
    return sheet;
}

bool onlyBlackAndWhite(const QImage& sheet) {
    for (int y = 0; y < sheet.height(); ++y) {
        const auto* line = reinterpret_cast<const std::uint32_t*>(sheet.constScanLine(y));
        if (!std::all_of(line, line + sheet.width(),
                         [](std::uint32_t pixel) { return pixel == kWhite || pixel == kBlack; }))
            return false;
    }
    return true;
}

// The sheet of every style, from the glyphs drawn black on white.
QImage colourGlyphSheet(const QImage& mask, const QRgb* text, const QRgb* background, int styles) {
    QImage sheet(mask.width(), kCellHeight * styles, QImage::Format_RGB32);
    for (int style = 0; style < styles; ++style) {
        for (int row = 0; row < kCellHeight; ++row) {
            const auto* from = reinterpret_cast<const std::uint32_t*>(mask.constScanLine(row));
            auto* to = reinterpret_cast<std::uint32_t*>(sheet.scanLine(style * kCellHeight + row));
            for (int x = 0; x < mask.width(); ++x)
                to[x] = from[x] == kWhite ? background[style] : text[style];
        }
    }
    return sheet;
}

// Typed character of a key press, or 0 when the key types nothing the view could take
// (control codes, keys with Ctrl/Alt/Meta, which belong to the window's shortcuts).
std::uint32_t typedCode(const QKeyEvent& event) {
    if (event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return 0;
    const QString text = event.text();
    if (text.size() != 1)
        return 0;
    const std::uint32_t code = text.at(0).unicode();
    return code < 0x20 || code == 0x7F ? 0 : code;
}

bool isEnterKey(const QKeyEvent& event) {
    return event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter;
}

}  // namespace

HexView::HexView(QWidget* parent) : QWidget(parent) {
    // Every pixel comes from the composed picture: no background erase before it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    // Focus comes only from a left click or the scroll bar, taken by hand: never from
    // Tab (only the chip lists and the search button are in the tab chain), the
    // wheel or another mouse button.
    setFocusPolicy(Qt::NoFocus);
    setContextMenuPolicy(Qt::PreventContextMenu);
    setFont(viewFont());
    buildGlyphCells();

    connect(&blinkTimer_, &QTimer::timeout, this, &HexView::onBlink);
    blinkTimer_.start(kBlinkMs);
}

QSize HexView::sizeHint() const {
    return {kHeadingRuleEndX, lineY(kVisibleRows + 1)};
}

void HexView::buildGlyphCells() {
    const QRgb background[kStyleCount] = {kWhite,    kWhite, kWhite, kLavender,
                                          kLavender, kBlack, kBlack};
    // The caret cell inverts the text colour: black -> white, red -> cyan.
    const QRgb text[kStyleCount] = {kBlue, kBlack, kRed, kBlack, kRed, kWhite, kCyan};
    lavender_ = kLavender;
    glyphCells_.resize(std::size_t{kStyleCount} * kGlyphCount * kCellPixels);

    // Drawn without smoothing, a glyph covers the same whole pixels in every style: it is
    // drawn once, black on white, and each style colours those pixels. A face that
    // smooths its edges all the same is drawn in every style's colours.
    const QRgb black[] = {kBlack};
    const QRgb white[] = {kWhite};
    const QImage mask = drawGlyphSheet(font(), black, white, 1);
    const QImage sheet = onlyBlackAndWhite(mask)
                             ? colourGlyphSheet(mask, text, background, kStyleCount)
                             : drawGlyphSheet(font(), text, background, kStyleCount);
    for (int style = 0; style < kStyleCount; ++style) {
        for (int glyph = 0; glyph < kGlyphCount; ++glyph) {
            std::uint32_t* cell =
                &glyphCells_[(std::size_t{1} * style * kGlyphCount + glyph) * kCellPixels];
            for (int row = 0; row < kCellHeight; ++row) {
                const auto* line = reinterpret_cast<const std::uint32_t*>(
                    sheet.constScanLine(style * kCellHeight + row));
                std::memcpy(cell + row * kCellWidth, line + glyph * kCellWidth,
                            kCellWidth * sizeof(std::uint32_t));
            }
        }
    }
}

void HexView::setScrollBar(QScrollBar* bar) {
    if (scrollBar_) {
        disconnect(scrollBar_, nullptr, this, nullptr);
        scrollBar_->removeEventFilter(this);
    }
    scrollBar_ = bar;
    if (!bar)
        return;
    // One scroll-bar unit is one page (scrollStep rows); the view decides what each
    // action does, so the bar's own steps only matter for the thumb's size.
    bar->setSingleStep(1);
    bar->setPageStep(1);
    bar->setRange(0, static_cast<int>(layout_.scrollRangeMaximum()));
    bar->setValue(static_cast<int>(layout_.scrollBarPosition()));
    connect(bar, &QAbstractSlider::actionTriggered, this, &HexView::onScrollAction);
    // Pressing the thumb is a use of the bar even before it moves.
    connect(bar, &QAbstractSlider::sliderPressed, this, [this] { setFocus(Qt::MouseFocusReason); });
    // The wheel over the bar scrolls as over the view (see eventFilter).
    bar->installEventFilter(this);
}

bool HexView::eventFilter(QObject* watched, QEvent* event) {
    // Left to the bar, a notch would move one bar unit (16 rows on a large chip)
    // and, as a bar action, take the focus. The event type is tested first: the bar
    // still sends events while it is destroyed, when it is no scroll bar any more.
    if (event->type() == QEvent::Wheel && watched == scrollBar_) {
        wheelEvent(static_cast<QWheelEvent*>(event));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void HexView::setData(std::uint8_t* image, std::uint8_t* changedMap, std::uint32_t dataLength) {
    image_ = image;
    changedMap_ = changedMap;
    layout_.setDataLength(dataLength);
    if (scrollBar_) {
        scrollBar_->setRange(0, static_cast<int>(layout_.scrollRangeMaximum()));
        scrollBar_->setValue(0);
    }
    refresh();
}

void HexView::refresh() {
    // The timer fires at once and flips the phase to visible, repainting the view.
    caretHidden_ = true;
    blinkTimer_.start(0);
}

void HexView::showRange(std::uint32_t first, std::uint32_t count) {
    layout_.showRange(first, count);
    syncScrollBar(false);
    refresh();
}

void HexView::onBlink() {
    caretHidden_ = !caretHidden_;
    blinkTimer_.start(kBlinkMs);
    repaint();
}

void HexView::syncScrollBar(bool insideAction) {
    if (!scrollBar_)
        return;
    const int position = static_cast<int>(layout_.scrollBarPosition());
    if (insideAction)
        scrollBar_->setSliderPosition(position);
    else
        scrollBar_->setValue(position);
}

void HexView::onScrollAction(int action) {
    setFocus(Qt::OtherFocusReason);
    ScrollCode code = ScrollCode::EndScroll;
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub:
            code = ScrollCode::LineUp;
            break;
        case QAbstractSlider::SliderSingleStepAdd:
            code = ScrollCode::LineDown;
            break;
        case QAbstractSlider::SliderPageStepSub:
            code = ScrollCode::PageUp;
            break;
        case QAbstractSlider::SliderPageStepAdd:
            code = ScrollCode::PageDown;
            break;
        case QAbstractSlider::SliderToMinimum:
            code = ScrollCode::Top;
            break;
        case QAbstractSlider::SliderToMaximum:
            code = ScrollCode::Bottom;
            break;
        case QAbstractSlider::SliderMove:
            code = ScrollCode::ThumbTrack;
            break;
        default:
            break;
    }
    const bool moved = layout_.scroll(code, scrollBar_ ? scrollBar_->sliderPosition() : 0);
    // Even when the view stays, the bar has already taken its own step: put it back.
    syncScrollBar(true);
    if (moved)
        refresh();
}

bool HexView::event(QEvent* event) {
    // Return/Enter and typed characters belong to the view even when the window has a
    // shortcut on them; Enter reaching the window would close the program.
    if (event->type() == QEvent::ShortcutOverride) {
        const auto& key = static_cast<const QKeyEvent&>(*event);
        if (isEnterKey(key) || typedCode(key) != 0) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

void HexView::keyPressEvent(QKeyEvent* event) {
    if (isEnterKey(*event)) {
        event->accept();
        return;
    }
    const std::uint32_t code = typedCode(*event);
    if (code == 0) {
        // Arrows, page keys, Delete and the like move nothing here.
        QWidget::keyPressEvent(event);
        return;
    }
    const std::uint32_t top = layout_.topRow;
    if (layout_.typeChar(code, image_, changedMap_)) {
        if (layout_.topRow != top)
            syncScrollBar(false);
        refresh();
        emit bytesEdited();
    }
    event->accept();
}

void HexView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    setFocus(Qt::MouseFocusReason);
    // Under fractional display scaling the position lies between pixels; the cell is
    // the one the pixel it falls in belongs to, so truncate, never round.
    const QPointF at = event->position();
    if (layout_.click(static_cast<int>(std::floor(at.x())), static_cast<int>(std::floor(at.y()))))
        refresh();
}

// The caret is drawn only while the view has the focus, but a focus change itself
// repaints nothing: the next blink, at most half a second later, shows or removes it.
void HexView::focusInEvent(QFocusEvent* event) {
    event->accept();
}
void HexView::focusOutEvent(QFocusEvent* event) {
    event->accept();
}

// Releases, moves, double clicks and the other buttons are swallowed: there is no
// selection by dragging.
void HexView::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
}
void HexView::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
}
void HexView::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
}

void HexView::wheelEvent(QWheelEvent* event) {
    event->accept();
    const int direction = wheelNotches_.feed(event->angleDelta().y());
    if (!layout_.wheel(direction))
        return;
    syncScrollBar(false);
    refresh();
}

void HexView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, composeFrame());
}

void HexView::fillCell(int x, int y, std::uint32_t colour) {
    const int x0 = std::max(x, 0), x1 = std::min(x + kCellWidth, frame_.width());
    const int y0 = std::max(y, 0), y1 = std::min(y + kCellHeight, frame_.height());
    for (int row = y0; row < y1; ++row) {
        std::uint32_t* line = frameBits_ + std::size_t{1} * row * frameStride_;
        std::fill(line + x0, line + std::max(x0, x1), colour);
    }
}

void HexView::drawCell(int x, int y, char ch, Style style) {
    const int code = static_cast<unsigned char>(ch);
    const int glyph = code >= kFirstGlyph && code <= kLastGlyph ? code - kFirstGlyph : 0;
    const std::uint32_t* cell =
        &glyphCells_[(std::size_t{1} * style * kGlyphCount + glyph) * kCellPixels];
    const int x0 = std::max(x, 0), x1 = std::min(x + kCellWidth, frame_.width());
    const int y0 = std::max(y, 0), y1 = std::min(y + kCellHeight, frame_.height());
    if (x0 >= x1)
        return;
    for (int row = y0; row < y1; ++row) {
        std::memcpy(frameBits_ + std::size_t{1} * row * frameStride_ + x0,
                    cell + (row - y) * kCellWidth + (x0 - x), (x1 - x0) * sizeof(std::uint32_t));
    }
}

void HexView::drawText(int x, int y, const char* text, Style style) {
    for (; *text != '\0'; ++text, x += kCellWidth)
        drawCell(x, y, *text, style);
}

const QImage& HexView::composeFrame() {
    // Kept between frames: a frame of the same size allocates nothing.
    if (frame_.size() != size())
        frame_ = QImage(size(), QImage::Format_RGB32);
    if (frame_.isNull())
        return frame_;
    frame_.fill(kWhite);
    frameBits_ = reinterpret_cast<std::uint32_t*>(frame_.bits());
    frameStride_ = static_cast<int>(frame_.bytesPerLine() / sizeof(std::uint32_t));

    drawHeadings();
    if (image_ != nullptr && changedMap_ != nullptr) {
        const std::uint32_t rows = layout_.rowsShown();
        for (std::uint32_t i = 0; i < rows; ++i)
            drawRow(layout_.topRow + i, lineY(static_cast<int>(i) + 1));
    }
    drawRules();
    return frame_;
}

void HexView::drawHeadings() {
    drawText(columnX(kAddressHeadingColumn), lineY(0), kAddressHeading, kHeadingStyle);
    drawText(columnX(kFirstHexColumn) + kHeadingShift, lineY(0), kHexHeading, kHeadingStyle);
    drawText(columnX(kAsciiHeadingColumn) + kHeadingShift, lineY(0), kAsciiHeading, kHeadingStyle);
}

void HexView::drawRow(std::uint32_t row, int y) {
    const std::uint32_t first = layout_.highlightFirst();
    const std::uint32_t last = layout_.highlightLast();
    const bool caretShown = !caretHidden_ && hasFocus();
    drawText(columnX(0), y, rowAddressText(row).text, kHeadingStyle);
    for (int j = 0; j < static_cast<int>(kBytesPerRow); ++j) {
        const std::uint32_t p = row * kBytesPerRow + static_cast<std::uint32_t>(j);
        const std::uint8_t value = image_[p];
        const bool changed = buffer::isChangedIn(changedMap_, p);
        const bool marked = p >= first && p <= last;
        const Style style = marked ? (changed ? kMarkedChangedStyle : kMarkedStyle)
                                   : (changed ? kChangedStyle : kPlainStyle);
        drawCell(columnX(charColumn(j)), y, displayChar(value), style);
        drawCell(columnX(hexHighColumn(j)), y, hexDigit(value >> 4), style);
        drawCell(columnX(hexLowColumn(j)), y, hexDigit(value), style);
        // A highlighted run continues through the gaps between its bytes.
        if (marked && p < last && j + 1 < static_cast<int>(kBytesPerRow))
            fillCell(columnX(gapColumn(j)), y, lavender_);
        if (caretShown && p == layout_.caretByte())
            drawCaret(j, y, value, changed);
    }
}

void HexView::drawCaret(int j, int y, std::uint8_t value, bool changed) {
    const Style caretStyle = changed ? kCaretChangedStyle : kCaretStyle;
    if (layout_.asciiArea)
        drawCell(columnX(charColumn(j)), y, displayChar(value), caretStyle);
    else if (layout_.caret & 1u)
        drawCell(columnX(hexLowColumn(j)), y, hexDigit(value), caretStyle);
    else
        drawCell(columnX(hexHighColumn(j)), y, hexDigit(value >> 4), caretStyle);
}

void HexView::drawRules() {
    const int width = frame_.width(), height = frame_.height();
    if (kHeadingRuleY < height) {
        std::uint32_t* line = frameBits_ + std::size_t{1} * kHeadingRuleY * frameStride_;
        std::fill(line, line + std::min(kHeadingRuleEndX, width), lavender_);
    }
    for (const int x : {kAddressRuleX, kCharRuleX}) {
        if (x >= width)
            continue;
        for (int y = 0; y < height; ++y)
            frameBits_[std::size_t{1} * y * frameStride_ + x] = lavender_;
    }
}

}  // namespace hexview
