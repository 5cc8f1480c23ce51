#include "hexview/hex_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>
#include <algorithm>
#include <set>
#include <vector>

using hexview::columnX;
using hexview::HexView;
using hexview::lineY;

namespace {

constexpr uint32_t kImageSize = 0x1000000;
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kCyan = qRgb(0, 255, 255);
const QRgb kLavender = qRgb(200, 200, 230);

// The cell image of grid column `column`, line `line`, shifted right by `shift` pixels.
QImage cellAt(const QImage& frame, int column, int line, int shift = 0) {
    return frame.copy(columnX(column) + shift, lineY(line), hexview::kCellWidth,
                      hexview::kCellHeight);
}

std::set<QRgb> coloursOf(const QImage& cell) {
    std::set<QRgb> colours;
    for (int y = 0; y < cell.height(); ++y)
        for (int x = 0; x < cell.width(); ++x)
            colours.insert(cell.pixel(x, y) | 0xFF000000u);
    return colours;
}

// Which pixels of a cell differ from its corner (background) pixel: the glyph's shape,
// whatever its colours. The heading line's cells end below the grid line at y = 16, so
// only the rows above it are compared.
std::vector<bool> shapeOf(const QImage& cell) {
    std::vector<bool> shape;
    const QRgb background = cell.pixel(0, 0);
    for (int y = 0; y < hexview::kHeadingRuleY - hexview::kMargin; ++y)
        for (int x = 0; x < cell.width(); ++x)
            shape.push_back(cell.pixel(x, y) != background);
    return shape;
}

class HexViewTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() == nullptr) {
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
                qputenv("QT_QPA_PLATFORM", "offscreen");
            static int argc = 1;
            static char name[] = "hexview_tests";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);  // lives as long as the test process
        }
    }

    void SetUp() override {
        image.assign(kImageSize + 64, 0xFF);
        map.assign(kImageSize / 8, 0);
        window.resize(700, 450);
        view = new HexView(&window);
        view->setGeometry(0, 0, 580, 402);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    // The picture as it stands now, with the blink phase chosen by the test.
    QImage frame(bool caretVisible = true) {
        view->setCaretHidden(!caretVisible);
        return view->composeFrame().copy();
    }

    // Gives the view the focus and puts the caret with a real click.
    void clickCell(int column, int line, Qt::MouseButton button = Qt::LeftButton) {
        QTest::mouseClick(view, button, {}, QPoint(columnX(column) + 3, lineY(line) + 7));
    }

    void sendWheel(int delta, Qt::ScrollPhase phase = Qt::NoScrollPhase) {
        const QPointF at(100, 100);
        QWheelEvent event(at, view->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, phase, false);
        QApplication::sendEvent(view, &event);
    }

    std::vector<uint8_t> image;
    std::vector<uint8_t> map;
    QWidget window;
    HexView* view = nullptr;
};

TEST_F(HexViewTest, DrawsHeadingsGridAndOnlyWholeRows) {
    QImage empty = frame();
    for (int line = 1; line <= 24; ++line)
        EXPECT_EQ(coloursOf(cellAt(empty, 0, line)), std::set<QRgb>{kWhite})
            << "no rows before data";

    image[0] = 0x00;
    view->setData(image.data(), map.data(), 128);
    const QImage f = frame();
    for (int y : {0, 17, 200, 401}) {
        EXPECT_EQ(f.pixel(54, y), kLavender) << y;
        EXPECT_EQ(f.pixel(438, y), kLavender) << y;
    }
    for (int x : {0, 60, 300, 577})
        EXPECT_EQ(f.pixel(x, 16), kLavender) << x;
    EXPECT_EQ(f.pixel(53, 100), kWhite);
    EXPECT_EQ(f.pixel(300, 17), kWhite);

    const std::set<QRgb> heading{kWhite, kBlue, kLavender};  // crossed by the grid line
    EXPECT_EQ(coloursOf(cellAt(f, 1, 0)), heading) << "ADDR";
    EXPECT_EQ(coloursOf(cellAt(f, 0, 1)), (std::set<QRgb>{kWhite, kBlue})) << "row address";
    // The hex heading's "0" stands 3 pixels right of the column of byte 0's high digit.
    const std::vector<bool> zero = shapeOf(cellAt(f, 7, 1, 0));
    EXPECT_EQ(shapeOf(cellAt(f, 7, 0, 3)), zero);
    EXPECT_NE(shapeOf(cellAt(f, 7, 0, 0)), zero);
    EXPECT_EQ(coloursOf(cellAt(f, 59, 0, 3)), heading) << "ASCII";

    // 128 bytes are 8 rows; lines 9 to 24 stay white.
    EXPECT_EQ(coloursOf(cellAt(f, 7, 8)).count(kBlack), 1u);
    for (int line = 9; line <= 24; ++line) {
        for (int column : {0, 7, 30, 55, 70})
            EXPECT_EQ(coloursOf(cellAt(f, column, line)), std::set<QRgb>{kWhite}) << line;
    }
}

TEST_F(HexViewTest, CharacterColumnShowsLettersAndDigitsOnly) {
    // Row 1: 41 E9 20 7B 2F A0 30 00 7A 14
    const uint8_t row[] = {0x41, 0xE9, 0x20, 0x7B, 0x2F, 0xA0, 0x30, 0x00, 0x7A, 0x14};
    std::copy(std::begin(row), std::end(row), image.begin() + 16);
    view->setData(image.data(), map.data(), 4096);
    const QImage f = frame();
    const int line = 2;
    auto charCell = [&](int j) { return cellAt(f, hexview::charColumn(j), line); };
    auto highDigit = [&](int j) { return cellAt(f, hexview::hexHighColumn(j), line); };
    auto lowDigit = [&](int j) { return cellAt(f, hexview::hexLowColumn(j), line); };

    EXPECT_EQ(charCell(0), highDigit(5)) << "0x41 shows A, as the digit A of 0xA0";
    EXPECT_EQ(highDigit(0), lowDigit(9)) << "0x41 shows 4 ...";
    EXPECT_EQ(lowDigit(0), highDigit(9)) << "... then 1, as 0x14 backwards";
    EXPECT_NE(highDigit(0), lowDigit(0));
    EXPECT_EQ(charCell(6), lowDigit(6)) << "0x30 shows 0";
    EXPECT_EQ(charCell(6), lowDigit(7));
    const QImage dot = charCell(1);
    EXPECT_EQ(charCell(2), dot) << "0x20";
    EXPECT_EQ(charCell(3), dot) << "0x7B";
    EXPECT_EQ(charCell(4), dot) << "0x2F";
    EXPECT_EQ(charCell(7), dot) << "0x00";
    EXPECT_NE(charCell(8), dot) << "0x7A shows z";
    EXPECT_NE(dot, charCell(0));
    EXPECT_EQ(coloursOf(dot), (std::set<QRgb>{kWhite, kBlack})) << "a dot is drawn, not blank";
    EXPECT_NE(highDigit(1), lowDigit(1)) << "E9 shows two different digits";
}

TEST_F(HexViewTest, ChangedBytesAreRedAndTheCaretByteIsHighlighted) {
    image[37] = 0x5A;
    image[40] = 0x5A;
    view->setData(image.data(), map.data(), 4096);
    clickCell(23, 3);  // byte 37, low digit
    ASSERT_TRUE(view->hasFocus());
    ASSERT_EQ(view->hexLayout().caret, 75u);
    hexview::markChanged(map.data(), 40);

    const QImage f = frame();
    const std::set<QRgb> red{kWhite, kRed};
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexHighColumn(8), 3)), red);
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexLowColumn(8), 3)), red);
    EXPECT_EQ(coloursOf(cellAt(f, hexview::charColumn(8), 3)), red);
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexHighColumn(9), 3)), (std::set<QRgb>{kWhite, kBlack}));

    // The caret's byte on lavender, its low digit as the black caret cell.
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexHighColumn(5), 3)),
              (std::set<QRgb>{kLavender, kBlack}));
    EXPECT_EQ(coloursOf(cellAt(f, hexview::charColumn(5), 3)), (std::set<QRgb>{kLavender, kBlack}));
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexLowColumn(5), 3)), (std::set<QRgb>{kBlack, kWhite}));
    EXPECT_EQ(coloursOf(cellAt(f, hexview::gapColumn(5), 3)), std::set<QRgb>{kWhite})
        << "a one-byte highlight has no lavender gap";

    // Hidden phase and lost focus both leave the highlight without the caret.
    EXPECT_EQ(coloursOf(cellAt(frame(false), hexview::hexLowColumn(5), 3)),
              (std::set<QRgb>{kLavender, kBlack}));
    view->clearFocus();
    EXPECT_EQ(coloursOf(cellAt(frame(true), hexview::hexLowColumn(5), 3)),
              (std::set<QRgb>{kLavender, kBlack}));
}

TEST_F(HexViewTest, CaretOnAChangedByteIsCyanAndFollowsTyping) {
    image[37] = 0x00;
    view->setData(image.data(), map.data(), 4096);
    clickCell(23, 3);
    QTest::keyClicks(view, QStringLiteral("c"));
    EXPECT_EQ(image[37], 0x0Cu);
    EXPECT_EQ(view->hexLayout().caret, 76u);

    QImage f = frame();
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexLowColumn(5), 3)), (std::set<QRgb>{kWhite, kRed}));
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexHighColumn(6), 3)), (std::set<QRgb>{kBlack, kWhite}));

    hexview::markChanged(map.data(), 38);
    f = frame();
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexHighColumn(6), 3)), (std::set<QRgb>{kBlack, kCyan}));

    // In the character column the caret is the character cell.
    clickCell(hexview::charColumn(6), 3);
    f = frame();
    EXPECT_EQ(coloursOf(cellAt(f, hexview::charColumn(6), 3)), (std::set<QRgb>{kBlack, kCyan}));
    EXPECT_EQ(coloursOf(cellAt(f, hexview::hexHighColumn(6), 3)),
              (std::set<QRgb>{kLavender, kRed}));
}

TEST_F(HexViewTest, RefreshShowsTheCaretAtOnceAndNewDataKeepsIt) {
    view->setData(image.data(), map.data(), 4096);
    clickCell(10, 2);
    const uint32_t caret = view->hexLayout().caret;
    view->setCaretHidden(false);
    view->refresh();
    EXPECT_TRUE(view->caretHidden());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view->caretHidden(); }, 400))
        << "the blink timer fires at once after a refresh";

    view->setData(image.data(), map.data(), 65536);
    EXPECT_EQ(view->hexLayout().caret, caret);
    EXPECT_EQ(view->hexLayout().topRow, 0u);
}

TEST_F(HexViewTest, ScrollBarActionsMoveTheViewOnce) {
    QScrollBar bar(Qt::Vertical, &window);
    bar.setGeometry(590, 0, 16, 400);
    view->setScrollBar(&bar);
    view->setData(image.data(), map.data(), kImageSize);
    EXPECT_EQ(bar.minimum(), 0);
    EXPECT_EQ(bar.maximum(), 65535);
    EXPECT_EQ(bar.value(), 0);
    view->clearFocus();

    bar.triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(view->hexLayout().topRow, 1u);
    EXPECT_EQ(bar.value(), 0) << "one row is less than one 16-row unit";
    EXPECT_TRUE(view->hasFocus()) << "scroll-bar use takes the focus";

    bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(view->hexLayout().topRow, 17u);
    EXPECT_EQ(bar.value(), 1);

    bar.setSliderPosition(65535);  // thumb dragged to the end
    EXPECT_EQ(view->hexLayout().topRow, 1048552u);
    EXPECT_EQ(bar.value(), 65534);
    bar.triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(view->hexLayout().topRow, 1048552u);
    EXPECT_EQ(bar.value(), 65534) << "the bar stays with the view";

    bar.triggerAction(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(view->hexLayout().topRow, 0u);
    bar.triggerAction(QAbstractSlider::SliderToMaximum);
    EXPECT_EQ(view->hexLayout().topRow, 1048552u);

    view->setData(image.data(), map.data(), 65536);
    EXPECT_EQ(bar.maximum(), 4073);
    EXPECT_EQ(bar.value(), 0);
    bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(view->hexLayout().topRow, 1u);
    EXPECT_EQ(bar.value(), 1);
}

TEST_F(HexViewTest, WheelMovesOneRowPerNotchWithoutTakingFocus) {
    QScrollBar bar(Qt::Vertical, &window);
    view->setScrollBar(&bar);
    view->setData(image.data(), map.data(), 65536);
    view->clearFocus();

    sendWheel(-120);
    EXPECT_EQ(view->hexLayout().topRow, 1u);
    EXPECT_EQ(bar.value(), 1);
    sendWheel(0, Qt::ScrollBegin);
    sendWheel(0, Qt::ScrollEnd);
    EXPECT_EQ(view->hexLayout().topRow, 1u) << "zero-distance touchpad events";
    sendWheel(-60);
    EXPECT_EQ(view->hexLayout().topRow, 1u);
    sendWheel(-60);
    EXPECT_EQ(view->hexLayout().topRow, 2u);
    sendWheel(360);
    EXPECT_EQ(view->hexLayout().topRow, 1u);
    EXPECT_FALSE(view->hasFocus());
}

// Records the keys that reach the window around the view.
class KeyRecorder : public QWidget {
  public:
    std::vector<int> keys;

  protected:
    void keyPressEvent(QKeyEvent* event) override { keys.push_back(event->key()); }
};

TEST_F(HexViewTest, KeysChangeNothingAndEnterStaysInTheView) {
    KeyRecorder parent;
    auto* inner = new HexView(&parent);
    inner->setGeometry(0, 0, 580, 402);
    parent.show();
    parent.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&parent));
    inner->setData(image.data(), map.data(), 4096);
    QTest::mouseClick(inner, Qt::LeftButton, {}, QPoint(columnX(7) + 3, lineY(1) + 7));
    ASSERT_TRUE(inner->hasFocus());

    const std::vector<uint8_t> before(image.begin(), image.begin() + 8192);
    for (Qt::Key key : {Qt::Key_Left, Qt::Key_Right, Qt::Key_Down, Qt::Key_PageDown,
                        Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Home})
        QTest::keyClick(inner, key);
    QTest::keyClick(inner, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(inner, Qt::Key_Return);
    QTest::keyClick(inner, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 8192), before);
    EXPECT_EQ(std::count(map.begin(), map.end(), 0), static_cast<long>(map.size()));
    EXPECT_EQ(inner->hexLayout().caret, 0u);
    for (int key : parent.keys) {
        EXPECT_NE(key, Qt::Key_Return);
        EXPECT_NE(key, Qt::Key_Enter);
    }

    QTest::keyClick(inner, Qt::Key_Tab);
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 8192), before);
}

TEST_F(HexViewTest, OnlyLeftClicksOnTheFirst20LinesPlaceTheCaret) {
    view->setData(image.data(), map.data(), 4096);
    view->clearFocus();
    clickCell(23, 3, Qt::RightButton);
    EXPECT_FALSE(view->hasFocus());
    EXPECT_EQ(view->hexLayout().caret, 0u);

    clickCell(23, 22);
    EXPECT_TRUE(view->hasFocus()) << "a click on line 22 only takes the focus";
    EXPECT_EQ(view->hexLayout().caret, 0u);

    view->setData(image.data(), map.data(), 128);
    clickCell(23, 12);
    EXPECT_EQ(view->hexLayout().caret, 256u);
    const QImage f = frame();
    for (int line = 1; line <= 8; ++line) {
        for (int j = 0; j < 16; ++j) {
            EXPECT_EQ(coloursOf(cellAt(f, hexview::hexHighColumn(j), line)),
                      (std::set<QRgb>{kWhite, kBlack}));
            EXPECT_EQ(coloursOf(cellAt(f, hexview::hexLowColumn(j), line)),
                      (std::set<QRgb>{kWhite, kBlack}));
        }
    }
    QTest::keyClicks(view, QStringLiteral("12"));
    EXPECT_EQ(image[128], 0xFFu) << "nothing is typed behind the data";
}

}  // namespace
