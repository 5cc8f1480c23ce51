// SPDX-License-Identifier: GPL-3.0-or-later
#include "hexview/hex_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWheelEvent>
#include <algorithm>
#include <set>
#include <vector>

#include "buffer/data_buffer.h"

using hexview::charColumn;
using hexview::columnX;
using hexview::hexHighColumn;
using hexview::hexLowColumn;
using hexview::HexView;
using hexview::lineY;
using Colours = std::set<QRgb>;

namespace {

using buffer::kImageSize;
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kCyan = qRgb(0, 255, 255);
const QRgb kLavender = qRgb(200, 200, 230);

// The image of grid cell (column, line), shifted right by `shift` pixels.
QImage cellAt(const QImage& frame, int column, int line, int shift = 0) {
    return frame.copy(columnX(column) + shift, lineY(line), hexview::kCellWidth,
                      hexview::kCellHeight);
}

// The colours of a cell that the view paints with; the blends at a smoothed glyph's
// edges are left out, its full strokes and the background stay.
Colours coloursOf(const QImage& cell) {
    const Colours painted{kWhite, kBlack, kBlue, kRed, kCyan, kLavender};
    Colours colours;
    for (int y = 0; y < cell.height(); ++y)
        for (int x = 0; x < cell.width(); ++x)
            if (painted.count(cell.pixel(x, y)) != 0)
                colours.insert(cell.pixel(x, y));
    return colours;
}

// The glyph's shape whatever its colours, above the heading line's grid line.
std::vector<bool> shapeOf(const QImage& cell) {
    std::vector<bool> shape;
    for (int y = 0; y < hexview::kHeadingRuleY - hexview::kMargin; ++y)
        for (int x = 0; x < cell.width(); ++x)
            shape.push_back(cell.pixel(x, y) != cell.pixel(0, 0));
    return shape;
}

// Records the keys that reach the window around the view.
class KeyRecorder : public QWidget {
  public:
    std::vector<int> keys;

  protected:
    void keyPressEvent(QKeyEvent* event) override { keys.push_back(event->key()); }
};

// A scroll bar that tells where its thumb is.
class ThumbBar : public QScrollBar {
  public:
    using QScrollBar::QScrollBar;
    QPoint thumbCentre() const {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return style()
            ->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this)
            .center();
    }
};

// Counts the view's repaints that are no blink: a blink flips the phase, anything
// else repaints the phase already shown.
class RepaintCounter : public QObject {
  public:
    explicit RepaintCounter(HexView* view) : view_(view), phase_(view->caretHidden()) {
        view->installEventFilter(this);
    }
    int others = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            if (view_->caretHidden() == phase_)
                ++others;
            phase_ = view_->caretHidden();
        }
        return false;
    }

  private:
    HexView* view_;
    bool phase_;
};

class HexViewTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() != nullptr)
            return;
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        // A desktop set to 120 DPI (without scaling the window), where a font sized in
        // points no longer fits the fixed 8 x 16 cells.
        if (qEnvironmentVariableIsEmpty("QT_FONT_DPI")) {
            qputenv("QT_FONT_DPI", "120");
            qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
        }
        static int argc = 1;
        static char name[] = "hexview_tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // lives as long as the test process
    }

    void SetUp() override {
        image.assign(kImageSize + 64, 0xFF);
        map.assign(kImageSize / 8, 0);
        window.resize(620, 410);
        view = new HexView(&window);
        view->setGeometry(0, 0, 580, 402);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    // The picture as it stands, in the blink phase the test chooses.
    QImage frame(bool caretVisible = true) {
        view->setCaretHidden(!caretVisible);
        return view->composeFrame().copy();
    }

    void clickCell(int column, int line, Qt::MouseButton button = Qt::LeftButton) {
        QTest::mouseClick(view, button, {}, QPoint(columnX(column) + 3, lineY(line) + 7));
    }

    void sendWheel(int delta, Qt::ScrollPhase phase = Qt::NoScrollPhase, QWidget* over = nullptr) {
        QWidget* target = over != nullptr ? over : view;
        const QPointF at(5, 100);
        QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, phase, false);
        QApplication::sendEvent(target, &event);
    }

    std::uint32_t topRow() const { return view->hexLayout().topRow; }

    std::vector<std::uint8_t> image;
    std::vector<std::uint8_t> map;
    KeyRecorder window;
    HexView* view = nullptr;
};

TEST_F(HexViewTest, DrawsHeadingsGridAndOnlyWholeRows) {
    const QImage empty = frame();
    for (int line = 1; line <= 24; ++line)
        EXPECT_EQ(coloursOf(cellAt(empty, 0, line)), Colours{kWhite}) << "no rows before data";

    image[0] = 0x00;
    view->setData(image.data(), map.data(), 128);
    const QImage f = frame();
    for (int y : {0, 17, 200, 401}) {
        EXPECT_EQ(f.pixel(54, y), kLavender) << y;
        EXPECT_EQ(f.pixel(438, y), kLavender) << y;
    }
    for (int x : {0, 60, 577})
        EXPECT_EQ(f.pixel(x, 16), kLavender) << x;
    EXPECT_EQ(f.pixel(53, 100), kWhite);
    EXPECT_EQ(f.pixel(300, 17), kWhite);

    const Colours heading{kWhite, kBlue, kLavender};  // crossed by the grid line
    EXPECT_EQ(coloursOf(cellAt(f, 1, 0)), heading) << "ADDR";
    EXPECT_EQ(coloursOf(cellAt(f, 59, 0, 3)), heading) << "ASCII";
    EXPECT_EQ(coloursOf(cellAt(f, 0, 1)), (Colours{kWhite, kBlue})) << "row address";
    // The hex heading's "0" stands 3 pixels right of byte 0's high digit column.
    EXPECT_EQ(shapeOf(cellAt(f, 7, 0, 3)), shapeOf(cellAt(f, 7, 1)));
    EXPECT_NE(shapeOf(cellAt(f, 7, 0)), shapeOf(cellAt(f, 7, 1)));

    // 128 bytes are 8 rows; lines 9 to 24 stay white.
    EXPECT_EQ(coloursOf(cellAt(f, 8, 8)), (Colours{kWhite, kBlack}));
    for (int line = 9; line <= 24; ++line)
        for (int column : {0, 7, 30, 55, 70})
            EXPECT_EQ(coloursOf(cellAt(f, column, line)), Colours{kWhite}) << line;
}

TEST_F(HexViewTest, CharacterColumnShowsDigitsAndLettersOnly) {
    const std::uint8_t row[] = {0x41, 0xE9, 0x20, 0x7B, 0x2F, 0xA0, 0x30, 0x00, 0x7A, 0x14};
    std::copy(std::begin(row), std::end(row), image.begin() + 16);
    view->setData(image.data(), map.data(), 4096);
    const QImage f = frame();
    auto character = [&](int j) { return cellAt(f, charColumn(j), 2); };
    auto high = [&](int j) { return cellAt(f, hexHighColumn(j), 2); };
    auto low = [&](int j) { return cellAt(f, hexLowColumn(j), 2); };

    EXPECT_EQ(character(0), high(5)) << "0x41 shows A, as 0xA0's digit";
    EXPECT_EQ(high(0), low(9)) << "0x41 shows 4 then 1, 0x14 the other way round";
    EXPECT_EQ(low(0), high(9));
    EXPECT_EQ(character(6), low(6)) << "0x30 shows 0";
    EXPECT_NE(character(8), character(1)) << "0x7A shows z";
    for (int j : {2, 3, 4, 7})
        EXPECT_EQ(character(j), character(1)) << "a dot, as 0xE9";
    EXPECT_EQ(coloursOf(character(1)), (Colours{kWhite, kBlack})) << "the dot is drawn";
    EXPECT_NE(high(1), low(1));
}

TEST_F(HexViewTest, ChangedBytesAreRedAndTheCaretIsInverted) {
    image[37] = 0x00;
    image[40] = 0x5A;
    view->setData(image.data(), map.data(), 4096);
    clickCell(23, 3);  // byte 37, low digit
    ASSERT_TRUE(view->hasFocus());
    buffer::markChangedIn(map.data(), 40);

    QImage f = frame();
    for (int column : {hexHighColumn(8), hexLowColumn(8), charColumn(8)})
        EXPECT_EQ(coloursOf(cellAt(f, column, 3)), (Colours{kWhite, kRed})) << column;
    EXPECT_EQ(coloursOf(cellAt(f, hexHighColumn(9), 3)), (Colours{kWhite, kBlack}));
    // The caret's byte on lavender, its low digit the black caret cell.
    EXPECT_EQ(coloursOf(cellAt(f, hexHighColumn(5), 3)), (Colours{kLavender, kBlack}));
    EXPECT_EQ(coloursOf(cellAt(f, charColumn(5), 3)), (Colours{kLavender, kBlack}));
    EXPECT_EQ(coloursOf(cellAt(f, hexLowColumn(5), 3)), (Colours{kBlack, kWhite}));
    EXPECT_EQ(coloursOf(cellAt(f, hexview::gapColumn(5), 3)), Colours{kWhite});

    // The hidden phase and a lost focus both leave the highlight without the caret.
    EXPECT_EQ(coloursOf(cellAt(frame(false), hexLowColumn(5), 3)), (Colours{kLavender, kBlack}));
    view->clearFocus();
    EXPECT_EQ(coloursOf(cellAt(frame(true), hexLowColumn(5), 3)), (Colours{kLavender, kBlack}));

    // Typing marks the byte red and moves the caret; on a changed byte it is cyan.
    clickCell(23, 3);
    QTest::keyClicks(view, QStringLiteral("c"));
    EXPECT_EQ(image[37], 0x0Cu);
    buffer::markChangedIn(map.data(), 38);
    f = frame();
    EXPECT_EQ(coloursOf(cellAt(f, hexLowColumn(5), 3)), (Colours{kWhite, kRed}));
    EXPECT_EQ(coloursOf(cellAt(f, hexHighColumn(6), 3)), (Colours{kBlack, kCyan}));
    clickCell(charColumn(6), 3);
    f = frame();
    EXPECT_EQ(coloursOf(cellAt(f, charColumn(6), 3)), (Colours{kBlack, kCyan}));
    EXPECT_EQ(coloursOf(cellAt(f, hexHighColumn(6), 3)), (Colours{kLavender, kRed}));
}

TEST_F(HexViewTest, ScrollBarActionsMoveTheViewOnce) {
    QScrollBar bar(Qt::Vertical, &window);
    view->setScrollBar(&bar);
    view->setData(image.data(), map.data(), kImageSize);
    EXPECT_EQ(bar.maximum(), 65535);
    view->clearFocus();

    bar.triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(topRow(), 1u);
    EXPECT_EQ(bar.value(), 0) << "one row is less than one 16-row unit";
    EXPECT_TRUE(view->hasFocus()) << "scroll-bar use takes the focus";
    bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(topRow(), 17u);
    EXPECT_EQ(bar.value(), 1);

    bar.setSliderPosition(65535);  // thumb dragged to the end
    EXPECT_EQ(topRow(), 1048552u);
    EXPECT_EQ(bar.value(), 65534);
    bar.triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(topRow(), 1048552u);
    EXPECT_EQ(bar.value(), 65534) << "the bar stays with the view";
    bar.triggerAction(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(topRow(), 0u);

    // New data: back to the top, the caret stays, the caret shows at once.
    clickCell(10, 2);
    const std::uint32_t caret = view->hexLayout().caret;
    bar.triggerAction(QAbstractSlider::SliderToMaximum);
    view->setData(image.data(), map.data(), 65536);
    EXPECT_EQ(bar.maximum(), 4073);
    EXPECT_EQ(bar.value(), 0);
    EXPECT_EQ(topRow(), 0u);
    EXPECT_EQ(view->hexLayout().caret, caret);
    EXPECT_TRUE(view->caretHidden());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view->caretHidden(); }, 400));
    bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(topRow(), 1u);
}

TEST_F(HexViewTest, WheelMovesOneRowPerNotchWithoutTakingFocus) {
    QScrollBar bar(Qt::Vertical, &window);
    view->setScrollBar(&bar);
    view->setData(image.data(), map.data(), 65536);
    view->clearFocus();

    sendWheel(-120);
    EXPECT_EQ(topRow(), 1u);
    EXPECT_EQ(bar.value(), 1);
    sendWheel(0, Qt::ScrollBegin);
    sendWheel(0, Qt::ScrollEnd);
    sendWheel(-60);
    EXPECT_EQ(topRow(), 1u) << "zero-distance events and half notches";
    sendWheel(-60);
    EXPECT_EQ(topRow(), 2u);
    sendWheel(360);
    EXPECT_EQ(topRow(), 1u);
    EXPECT_FALSE(view->hasFocus());

    // Over the scroll bar a notch is one row too, not a 16-row unit.
    view->setData(image.data(), map.data(), kImageSize);
    sendWheel(-120, Qt::NoScrollPhase, &bar);
    EXPECT_EQ(topRow(), 1u);
    EXPECT_EQ(bar.value(), 0);
    EXPECT_FALSE(view->hasFocus());
}

TEST_F(HexViewTest, FocusComesFromClicksAndTheBarAndRepaintsNothing) {
    ThumbBar bar(Qt::Vertical, &window);
    bar.setGeometry(582, 0, 16, 402);
    bar.show();
    view->setScrollBar(&bar);
    view->setData(image.data(), map.data(), kImageSize);
    QLineEdit other(&window);
    other.setGeometry(0, 404, 100, 6);
    other.show();
    other.setFocus();
    QTest::keyClick(&other, Qt::Key_Tab);
    EXPECT_FALSE(view->hasFocus()) << "Tab never lands in the view";

    // Gaining and losing the focus show only at the next blink.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->caretHidden(); }, 400));
    QTest::qWait(20);
    RepaintCounter repaints(view);
    view->setFocus();
    QTest::qWait(50);
    other.setFocus();
    QTest::qWait(50);
    EXPECT_EQ(repaints.others, 0);

    // Pressing the thumb, without moving it, takes the focus as every use of the bar does.
    QTest::mousePress(&bar, Qt::LeftButton, {}, bar.thumbCentre());
    EXPECT_TRUE(view->hasFocus());
    QTest::mouseRelease(&bar, Qt::LeftButton, {}, bar.thumbCentre());
    EXPECT_EQ(topRow(), 0u);
}

// Digits no wider than the 8-pixel cell and lines no taller than 16 pixels, in the
// first of the fonts the view prefers that is installed, whatever the DPI setting.
TEST_F(HexViewTest, TheFontFitsTheCells) {
    const QFont font = view->font();
    const QFontMetrics metrics(font);
    EXPECT_LE(metrics.horizontalAdvance(QLatin1Char('0')), hexview::kCellWidth);
    EXPECT_LE(metrics.ascent() + metrics.descent(), hexview::kCellHeight);
    EXPECT_GE(metrics.ascent() + metrics.descent(), hexview::kCellHeight * 3 / 4)
        << "not shrunk more than needed";
    if (QFontDatabase::hasFamily(QStringLiteral("DejaVu Sans Mono"))) {
        EXPECT_EQ(QFontInfo(font).family().toStdString(), "DejaVu Sans Mono");
    }
}

// Pixels of ink: text is black or red, both without green; the backgrounds are white
// or lavender, both with much of it.
std::vector<bool> inkOf(const QImage& cell) {
    std::vector<bool> ink;
    for (int y = 0; y < cell.height(); ++y)
        for (int x = 0; x < cell.width(); ++x)
            ink.push_back(qGreen(cell.pixel(x, y)) < 128);
    return ink;
}

// Every hex digit must differ from every other in enough pixels to be told apart at a
// glance, plain (black) and changed (red). The shrunken typewriter face the view once
// drew left E and F three pixels apart (and fifteen pairs under ten); twice that is
// the floor. E and F differ by one bar only, so no face in an 8-pixel cell gives them
// much more. The suite runs at 120 DPI and once more at 96 (see CMakeLists.txt).
TEST_F(HexViewTest, EveryHexDigitIsToldApartAtAGlance) {
    constexpr int kFewestDifferingPixels = 6;
    const std::uint8_t digits[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    for (int i = 0; i < 8; ++i) {
        image[16 + i] = image[32 + i] = digits[i];
        buffer::markChangedIn(map.data(), 32 + i);
    }
    view->setData(image.data(), map.data(), 4096);
    const QImage f = frame(false);
    for (int line : {2, 3}) {
        std::vector<std::vector<bool>> ink;
        for (int j = 0; j < 8; ++j) {
            ink.push_back(inkOf(cellAt(f, hexHighColumn(j), line)));
            ink.push_back(inkOf(cellAt(f, hexLowColumn(j), line)));
        }
        auto distance = [&ink](std::size_t a, std::size_t b) {
            int differing = 0;
            for (std::size_t p = 0; p < ink[a].size(); ++p)
                differing += ink[a][p] != ink[b][p] ? 1 : 0;
            return differing;
        };
        int fewest = static_cast<int>(ink[0].size());
        for (std::size_t a = 0; a < ink.size(); ++a) {
            for (std::size_t b = a + 1; b < ink.size(); ++b) {
                EXPECT_GE(distance(a, b), kFewestDifferingPixels)
                    << hexview::hexDigit(static_cast<unsigned>(a)) << "/"
                    << hexview::hexDigit(static_cast<unsigned>(b)) << " on line " << line;
                fewest = std::min(fewest, distance(a, b));
            }
        }
        RecordProperty(line == 2 ? "fewest_plain" : "fewest_changed", fewest);
    }
}

TEST_F(HexViewTest, KeysChangeNothingAndEnterStaysInTheView) {
    view->setData(image.data(), map.data(), 4096);
    clickCell(7, 1);
    ASSERT_TRUE(view->hasFocus());
    for (Qt::Key key : {Qt::Key_Left, Qt::Key_Down, Qt::Key_PageDown, Qt::Key_Backspace,
                        Qt::Key_Delete, Qt::Key_Home, Qt::Key_Return, Qt::Key_Tab})
        QTest::keyClick(view, key);
    QTest::keyClick(view, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(std::count(image.begin(), image.end(), 0xFF), static_cast<long>(image.size()));
    EXPECT_EQ(std::count(map.begin(), map.end(), 0), static_cast<long>(map.size()));
    EXPECT_EQ(view->hexLayout().caret, 0u);
    for (int key : window.keys)
        EXPECT_TRUE(key != Qt::Key_Return && key != Qt::Key_Enter);
}

TEST_F(HexViewTest, LeftClicksOnAnyRowPlaceTheCaretAndTypingShowsIt) {
    view->setData(image.data(), map.data(), 4096);
    view->clearFocus();
    clickCell(23, 3, Qt::RightButton);
    EXPECT_FALSE(view->hasFocus());
    clickCell(23, 22);
    EXPECT_TRUE(view->hasFocus());
    EXPECT_EQ(view->hexLayout().caret, 2u * (21 * 16 + 5) + 1) << "line 22: row 21, byte 5";

    // Scrolled away from the caret, the next digit brings its row back before it lands.
    for (int notch = 0; notch < 30; ++notch)
        sendWheel(-120);
    ASSERT_EQ(topRow(), 30u);
    QTest::keyClicks(view, QStringLiteral("7"));
    EXPECT_EQ(topRow(), 21u);
    EXPECT_EQ(image[21 * 16 + 5], 0xF7u);

    // Below the rows of a 128-byte chip: behind the data, no caret and no highlight drawn.
    view->setData(image.data(), map.data(), 128);
    clickCell(23, 12);
    EXPECT_EQ(view->hexLayout().caret, 256u);
    const QImage f = frame();
    for (int line = 1; line <= 8; ++line)
        for (int j = 0; j < 16; ++j)
            EXPECT_EQ(coloursOf(cellAt(f, hexLowColumn(j), line)), (Colours{kWhite, kBlack}));
    QTest::keyClicks(view, QStringLiteral("12"));
    EXPECT_EQ(image[128], 0xFFu) << "nothing is typed behind the data";

    // With fractional display scaling a click lies between pixels: x = 65.6 is still in
    // column 7 (pixels 58 to 65), the high digit of byte 0.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(65.6, lineY(1) + 7.9),
                      view->mapToGlobal(QPointF(65.6, lineY(1) + 7.9)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &press);
    EXPECT_EQ(view->hexLayout().caret, 0u);
}

}  // namespace
