// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// HexView: the panel that shows the data buffer as rows of 16 bytes (address, hex digits,
// characters), highlights the caret's byte, draws a blinking inverse-video caret and
// lets the user overwrite bytes one hex digit or one character at a time. Changed bytes
// show in red. It borrows the buffer's image and changed map; it never owns them.
//
// The whole picture is composed off-screen and copied in one step, so the twice-a-second
// blink repaint never flickers. Glyphs are pre-rendered into fixed 8 x 16 cells once, so
// a frame is a set of cell copies whose cost does not depend on the data length.

#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "hexview/hex_layout.h"

class QScrollBar;

namespace hexview {

class HexView : public QWidget {
    Q_OBJECT

  public:
    // Caret blink half-period: the caret shows for 500 ms and hides for 500 ms, the
    // view's classic blink rate; an idle window therefore repaints twice a second.
    static constexpr int kBlinkMs = 500;

    explicit HexView(QWidget* parent = nullptr);

    // The separate vertical scroll bar the view drives. The view handles the bar's
    // actions itself and then puts the slider where the view is, so the bar's own step
    // never moves the view a second time. Every use of the bar gives the view the
    // focus; the wheel over the bar moves one row, as over the view, and does not.
    void setScrollBar(QScrollBar* bar);

    // Shows `dataLength` bytes of `image` (changed bits in `changedMap`) from the top.
    // The caret and the highlight stay where they were.
    void setData(std::uint8_t* image, std::uint8_t* changedMap, std::uint32_t dataLength);

    // Repaints at once with the caret visible and restarts the blink. Called after every
    // change made to the buffer elsewhere.
    void refresh();

    const HexLayout& hexLayout() const { return layout_; }

    // Scrolls to byte `first`, puts the caret there and highlights `count` bytes from it.
    void showRange(std::uint32_t first, std::uint32_t count);

    // The blink phase. The timer flips it; tests set it to draw a chosen phase.
    bool caretHidden() const { return caretHidden_; }
    void setCaretHidden(bool hidden) { caretHidden_ = hidden; }

    // Composes the current picture into the off-screen image (the size of the view) and
    // returns it; paintEvent copies exactly this image to the screen.
    const QImage& composeFrame();

    QSize sizeHint() const override;

  signals:
    // The user typed over a byte of the image (which the view writes directly).
    void bytesEdited();

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Text and background colour pairs of the cells.
    enum Style {
        kHeadingStyle,
        kPlainStyle,
        kChangedStyle,
        kMarkedStyle,
        kMarkedChangedStyle,
        kCaretStyle,
        kCaretChangedStyle,
        kStyleCount,
    };

    void buildGlyphCells();
    void onScrollAction(int action);
    void onBlink();
    // Puts the scroll bar's slider at the view's position. Inside an action handler
    // only the slider position may be set: the bar applies it as its value afterwards.
    void syncScrollBar(bool insideAction);
    void drawCell(int x, int y, char ch, Style style);
    void fillCell(int x, int y, std::uint32_t colour);
    void drawText(int x, int y, const char* text, Style style);
    // The steps of composeFrame: the heading line, one row of bytes at line top y (the
    // caret over byte j of it), and the grid lines.
    void drawHeadings();
    void drawRow(std::uint32_t row, int y);
    void drawCaret(int j, int y, std::uint8_t value, bool changed);
    void drawRules();

    HexLayout layout_;
    WheelNotches wheelNotches_;
    std::uint8_t* image_ = nullptr;
    std::uint8_t* changedMap_ = nullptr;
    bool caretHidden_ = true;
    QTimer blinkTimer_;
    QPointer<QScrollBar> scrollBar_;

    // Pre-rendered cells of the printable ASCII glyphs, per style: kCellHeight rows of
    // kCellWidth pixels each.
    std::vector<std::uint32_t> glyphCells_;
    std::uint32_t lavender_ = 0;

    QImage frame_;
    std::uint32_t* frameBits_ = nullptr;
    int frameStride_ = 0;  // in pixels
};

}  // namespace hexview
