// The colour button on real widgets (offscreen), checked by its pixels.
#include "widgets/ColorButton.h"

#include <QAccessible>
#include <QApplication>
#include <QPainter>
#include <QSet>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <utility>
#include <stdexcept>

using namespace quill::widgets;

namespace quill::widgets {
inline void PrintTo(const Rgb& c, std::ostream* os) { *os << int(c.r) << "," << int(c.g) << "," << int(c.b); }
} // namespace quill::widgets

namespace {

constexpr TColor kNormal = 6737049;
const Rgb kFace{153, 204, 102};
const Rgb kLight{203, 229, 178};
const Rgb kDark{61, 92, 31};
const Rgb kBlack{0, 0, 0};

Rgb At(const QImage& image, int x, int y) {
    const QColor c = image.pixelColor(x, y);
    return {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
            static_cast<std::uint8_t>(c.blue())};
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++count;
        return false;
    }
};

class ColorButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        host = std::make_unique<QWidget>();
        host->resize(400, 200);
        button = new ColorButton(host.get());
        button->setGeometry(10, 10, 150, 42);
        button->setColor(kNormal);
        host->show();
        QApplication::processEvents();
    }

    QImage Grab() { return button->grab().toImage(); }
    void Activate() {
        host->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(host.get()));
    }

    std::unique_ptr<QWidget> host;
    ColorButton* button = nullptr;
    int clicks = 0;
};

} // namespace

TEST_F(ColorButtonTest, NewControlHasItsDefaults) {
    ColorButton fresh;
    EXPECT_EQ(fresh.size(), QSize(75, 25));
    EXPECT_EQ(fresh.Color(), clBtnFace);
    EXPECT_EQ(fresh.BevelWidth(), 1);
    EXPECT_EQ(fresh.ContrastHighlight(), 5);
    EXPECT_EQ(fresh.ContrastShadow(), 6);
    EXPECT_EQ(fresh.BorderStyle(), TBorderStyle::bsNormal);
    EXPECT_EQ(fresh.Layout(), TButtonLayout::blGlyphLeft);
    EXPECT_EQ(fresh.NumGlyphs(), 0);
    EXPECT_EQ(fresh.TimerDelay(), 400);
    EXPECT_EQ(fresh.TimerInterval(), 100);
    EXPECT_FALSE(fresh.Down());
}

TEST_F(ColorButtonTest, UpButtonPaintsFaceFrameAndBevel) {
    const QImage image = Grab();
    // The face rectangle (2, 2) to (148, 40), right and bottom exclusive.
    for (int x = 2; x < 148; x += 5) {
        EXPECT_EQ(At(image, x, 2), kFace) << x;
        EXPECT_EQ(At(image, x, 39), kFace) << x;
    }
    for (int y = 2; y < 40; y += 3) {
        EXPECT_EQ(At(image, 2, y), kFace) << y;
        EXPECT_EQ(At(image, 147, y), kFace) << y;
    }
    // Frame: light left and top, black bottom and right.
    EXPECT_EQ(At(image, 0, 20), kLight);
    EXPECT_EQ(At(image, 75, 0), kLight);
    EXPECT_EQ(At(image, 0, 41), kBlack);
    EXPECT_EQ(At(image, 75, 41), kBlack);
    EXPECT_EQ(At(image, 149, 20), kBlack);
    // Bevel: light inside the left and top, dark inside the right and bottom.
    EXPECT_EQ(At(image, 1, 20), kLight);
    EXPECT_EQ(At(image, 75, 1), kLight);
    EXPECT_EQ(At(image, 148, 20), kDark);
    EXPECT_EQ(At(image, 148, 1), kDark);
    EXPECT_EQ(At(image, 75, 40), kDark);
}

TEST_F(ColorButtonTest, DownButtonSwapsTheEdgeColours) {
    button->setDown(true);
    const QImage image = Grab();
    EXPECT_EQ(At(image, 0, 20), kBlack);
    EXPECT_EQ(At(image, 75, 0), kBlack);
    EXPECT_EQ(At(image, 75, 41), kLight);
    EXPECT_EQ(At(image, 149, 20), kLight);
    EXPECT_EQ(At(image, 1, 20), kDark);
    EXPECT_EQ(At(image, 75, 1), kDark);
    EXPECT_EQ(At(image, 148, 20), kLight);
    EXPECT_EQ(At(image, 75, 40), kLight);
}

TEST_F(ColorButtonTest, PressMovesTheFaceByOnePixelAndReleaseMovesItBack) {
    button->setCaption(QStringLiteral("Monitor Printer"));
    button->setFontColor(clWhite);
    QApplication::processEvents();
    const QImage up = Grab();
    button->setDown(true);
    const QImage down = Grab();
    int whitePixels = 0;
    for (int y = 2; y < 39; ++y)
        for (int x = 2; x < 147; ++x) {
            ASSERT_EQ(At(down, x + 1, y + 1), At(up, x, y)) << x << "," << y;
            whitePixels += At(up, x, y) == Rgb{255, 255, 255};
        }
    EXPECT_GT(whitePixels, 50); // the caption is there and moved with the face
    button->setDown(false);
    EXPECT_EQ(Grab(), up);
}

TEST_F(ColorButtonTest, ContrastAndBevelValuesOutOfRangeAreIgnored) {
    button->setContrastShadow(10);
    button->setContrastHighlight(12);
    EXPECT_EQ(button->ContrastShadow(), 6);
    EXPECT_EQ(button->ContrastHighlight(), 5);
    EXPECT_EQ(button->ShadowColor(), kDark);
    button->setBevelWidth(21); // height 42 div 2
    EXPECT_EQ(button->BevelWidth(), 1);
    button->setBevelWidth(-1);
    EXPECT_EQ(button->BevelWidth(), 1);
    button->setBevelWidth(20);
    EXPECT_EQ(button->BevelWidth(), 20);
    button->resize(30, 42);
    button->setBevelWidth(15); // width 30 div 2
    EXPECT_EQ(button->BevelWidth(), 20);
    button->setContrastShadow(0);
    EXPECT_EQ(button->ShadowColor(), kFace); // lightness times 1
}

TEST_F(ColorButtonTest, WiderBevelAndOtherBorderStyles) {
    button->setBevelWidth(3);
    QImage image = Grab();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(At(image, n, 20), kLight) << n;
        EXPECT_EQ(At(image, 149 - n, 20), kDark) << n;
    }
    EXPECT_EQ(At(image, 4, 20), kFace);
    button->setBorderStyle(TBorderStyle::bsFlat);
    image = Grab();
    EXPECT_EQ(At(image, 0, 20), kLight); // the bevel starts at the edge
    EXPECT_EQ(At(image, 3, 20), kFace);
    button->setBorderStyle(TBorderStyle::bsSingle);
    button->setBorderColor(0x0000FF); // red
    image = Grab();
    EXPECT_EQ(At(image, 0, 20), (Rgb{255, 0, 0}));
    EXPECT_EQ(At(image, 149, 20), (Rgb{255, 0, 0}));
    EXPECT_EQ(At(image, 75, 0), (Rgb{255, 0, 0}));
    EXPECT_EQ(At(image, 1, 20), kLight);
}

TEST_F(ColorButtonTest, ClickFiresOnReleaseEvenWhenThePointerWasDraggedOff) {
    button->OnClick = [this](ColorButton*) { ++clicks; };
    // Through the window, so that the events are routed as the window system's are.
    QWindow* window = host->windowHandle();
    QTest::mousePress(window, Qt::LeftButton, {}, QPoint(30, 30));
    EXPECT_TRUE(button->Down());
    EXPECT_EQ(clicks, 0);
    QTest::mouseMove(window, QPoint(300, 150));
    QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(300, 150));
    EXPECT_FALSE(button->Down());
    EXPECT_EQ(clicks, 1);
}

TEST_F(ColorButtonTest, RightButtonDoesNothing) {
    button->OnClick = [this](ColorButton*) { ++clicks; };
    QTest::mouseClick(button, Qt::RightButton, {}, QPoint(20, 20));
    EXPECT_FALSE(button->Down());
    EXPECT_EQ(clicks, 0);
}

TEST_F(ColorButtonTest, DisabledButtonIgnoresPressesAndAcceleratorsAndGreysItsCaption) {
    button->setCaption(QStringLiteral("&Monitor"));
    button->setFontColor(clWhite);
    button->OnClick = [this](ColorButton*) { ++clicks; };
    button->setEnabled(false);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_FALSE(button->DialogChar(QLatin1Char('m')));
    EXPECT_EQ(clicks, 0);
    EXPECT_FALSE(button->Down());
    const QImage image = Grab();
    int grey = 0, white = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            grey += At(image, x, y) == Rgb{109, 109, 109};
            white += At(image, x, y) == Rgb{255, 255, 255};
        }
    EXPECT_GT(grey, 30);
    EXPECT_EQ(white, 0);
}

TEST_F(ColorButtonTest, DisablingReleasesAnUngroupedButtonOnly) {
    button->setDown(true);
    button->setEnabled(false);
    EXPECT_FALSE(button->Down());
    button->setEnabled(true);
    button->setGrouped(true);
    button->setDown(true);
    button->setEnabled(false);
    EXPECT_TRUE(button->Down());
}

TEST_F(ColorButtonTest, AcceleratorIsTheCharacterAfterTheFirstAmpersand) {
    button->OnClick = [this](ColorButton*) { ++clicks; };
    button->setCaption(QStringLiteral("&Monitor Printer"));
    EXPECT_TRUE(button->DialogChar(QLatin1Char('m')));
    EXPECT_TRUE(button->DialogChar(QLatin1Char('M')));
    EXPECT_FALSE(button->DialogChar(QLatin1Char('o')));
    EXPECT_EQ(clicks, 2);
    button->setCaption(QStringLiteral("Monitor&"));
    EXPECT_FALSE(button->DialogChar(QLatin1Char('m')));
    button->setCaption(QStringLiteral("Moni&tor &Printer"));
    EXPECT_TRUE(button->DialogChar(QLatin1Char('t')));
    EXPECT_FALSE(button->DialogChar(QLatin1Char('p')));
    EXPECT_EQ(clicks, 3);
}

TEST_F(ColorButtonTest, AltKeyOfTheCaptionClicks) {
    button->OnClick = [this](ColorButton*) { ++clicks; };
    button->setCaption(QStringLiteral("&Monitor Printer"));
    Activate();
    QTest::keyClick(host.get(), Qt::Key_M, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
    QTest::keyClick(host.get(), Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
    button->setEnabled(false);
    QTest::keyClick(host.get(), Qt::Key_M, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
}

TEST_F(ColorButtonTest, AssigningTheCurrentValueCausesNoRepaint) {
    PaintCounter counter;
    button->installEventFilter(&counter);
    for (int i = 0; i < 5; ++i) {
        button->setColor(kNormal);
        button->setContrastHighlight(5);
        button->setBevelWidth(1);
        button->setDown(false);
        QApplication::processEvents();
    }
    EXPECT_EQ(counter.count, 0);
    button->setColor(44879);
    QApplication::processEvents();
    EXPECT_EQ(counter.count, 1);
    EXPECT_EQ(At(Grab(), 20, 20), (Rgb{79, 175, 0}));
    EXPECT_EQ(At(Grab(), 0, 20), (Rgb{167, 215, 127}));
    EXPECT_EQ(At(Grab(), 148, 20), (Rgb{32, 70, 0}));
}

TEST_F(ColorButtonTest, StateChangeFiresOnEveryChangeOfDown) {
    int changes = 0;
    button->OnStateChange = [&](ColorButton*) { ++changes; };
    button->setDown(true);
    button->setDown(true);
    button->setDown(false);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_EQ(changes, 4);
}

TEST_F(ColorButtonTest, GroupedButtonsStayDownAndReleaseEachOther) {
    auto* other = new ColorButton(host.get());
    other->setGeometry(10, 60, 150, 42);
    for (ColorButton* b : {button, other}) {
        b->setGrouped(true);
        b->setGroupIndex(3);
    }
    auto* stranger = new ColorButton(host.get()); // another group
    stranger->setGeometry(10, 110, 150, 42);
    stranger->setGrouped(true);
    stranger->setGroupIndex(4);
    stranger->setDown(true);

    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(button->Down());
    QTest::mouseClick(other, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(other->Down());
    EXPECT_FALSE(button->Down());
    EXPECT_TRUE(stranger->Down());
    // Clicking a down button again keeps it down unless all may be up.
    QTest::mouseClick(other, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(other->Down());
    other->setAllowAllUp(true);
    QTest::mouseClick(other, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_FALSE(other->Down());
}

TEST_F(ColorButtonTest, AutoRepeatClicksWhileHeldAndOnceMoreOnRelease) {
    button->setAllowTimer(true);
    button->setTimerDelay(300);
    button->setTimerInterval(20);
    button->OnClick = [this](ColorButton*) { ++clicks; };
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(20, 20));
    QTest::qWait(30);
    EXPECT_EQ(clicks, 0); // still within the first delay
    EXPECT_TRUE(QTest::qWaitFor([this] { return clicks >= 3; }, 2000));
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(20, 20));
    const int afterRelease = clicks;
    QTest::qWait(100);
    EXPECT_EQ(clicks, afterRelease);
}

TEST_F(ColorButtonTest, AnExceptionFromTheClickStopsTheRepeat) {
    button->setAllowTimer(true);
    button->OnClick = [](ColorButton*) { throw std::runtime_error("handler failed"); };
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_THROW(button->TimerExpired(), std::runtime_error);
    // Stopped: no further ticks fire, and the next tick call is harmless once released.
    button->OnClick = [this](ColorButton*) { ++clicks; };
    QTest::qWait(600);
    EXPECT_EQ(clicks, 0);
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_EQ(clicks, 1);
}

TEST_F(ColorButtonTest, HorizontalAndVerticalGradientsFollowTheRamp) {
    button->setGradientStyle(TGradientStyle::gsHorizontal); // the ramp follows the colour set before
    EXPECT_EQ(button->RampEntry(0), (Rgb{255, 255, 255}));
    EXPECT_EQ(button->RampEntry(127), kFace);
    EXPECT_EQ(button->RampEntry(255), kBlack);
    button->resize(255, 42);
    QImage image = Grab();
    // Strips of width 2 start at i - 1, so pixel x shows entry x + 1.
    for (int x = 5; x < 250; x += 7) EXPECT_EQ(At(image, x, 20), button->RampEntry(x + 1)) << x;
    button->setDown(true);
    button->setChangeDirection(true);
    button->setDown(false);
    button->setDown(true); // a gradient repaints all on each change of Down
    image = Grab();
    for (int x = 5; x < 250; x += 7) EXPECT_EQ(At(image, x, 20), button->RampEntry(255 - (x + 1))) << x;

    button->setDown(false);
    button->resize(60, 255);
    button->setGradientStyle(TGradientStyle::gsVertical);
    image = Grab();
    for (int y = 5; y < 250; y += 7) EXPECT_EQ(At(image, 30, y), button->RampEntry(y + 1)) << y;

    button->setGradientDirection(TGradDirection::gdUpLeft);
    EXPECT_EQ(button->RampEntry(0), kBlack);
    EXPECT_EQ(button->RampEntry(255), (Rgb{255, 255, 255}));
}

TEST_F(ColorButtonTest, PyramidGradientRunsFromTheEdgesToTheCentre) {
    button->setGradientStyle(TGradientStyle::gsPyramid);
    const QImage image = Grab();
    const int w = 150, h = 42;
    const double s = 255.0 / (w + h);
    EXPECT_EQ(At(image, w / 2, 3), button->RampEntry(static_cast<int>((w / 2) * s)));
    EXPECT_EQ(At(image, w / 2, h - 4), button->RampEntry(static_cast<int>((w / 2 + h) * s)));
}

TEST_F(ColorButtonTest, GlyphCellsFollowTheStateWithTheBottomLeftColourTransparent) {
    QImage glyph(24, 8, QImage::Format_RGB32);
    glyph.fill(Qt::red);
    QPainter painter(&glyph);
    painter.fillRect(8, 0, 8, 8, Qt::blue);
    painter.fillRect(16, 0, 8, 8, Qt::yellow);
    painter.fillRect(0, 4, 4, 4, Qt::magenta); // the transparent colour, in cell 0's corner
    painter.end();
    button->setGlyph(glyph);
    button->setNumGlyphs(3);
    // No caption: centred in the face (2, 2)-(148, 40): (146 - 8) >> 1 = 70, (42 - 8) >> 1 = 17.
    QImage image = Grab();
    EXPECT_EQ(At(image, 75, 18), (Rgb{255, 0, 0}));
    EXPECT_EQ(At(image, 71, 23), kFace); // transparent part
    EXPECT_EQ(At(image, 69, 20), kFace);

    button->setEnabled(false);
    EXPECT_EQ(At(Grab(), 75, 18), (Rgb{0, 0, 255}));
    button->setEnabled(true);
    Grab();
    // Pressing only moves the face; a full paint while down shows the down cell.
    button->setDown(true);
    image = Grab();
    EXPECT_EQ(At(image, 76, 19), (Rgb{255, 0, 0}));
    button->setSpacing(2);
    image = Grab();
    EXPECT_EQ(At(image, 71, 18), (Rgb{255, 255, 0}));
    EXPECT_EQ(At(image, 70, 20), kFace);

    button->setNumGlyphs(0);
    EXPECT_EQ(At(Grab(), 75, 20), kFace);
}

TEST_F(ColorButtonTest, SpaceHoldsTheButtonDownAndClicksOnReleaseReturnClicksAtOnce) {
    button->OnClick = [this](ColorButton*) { ++clicks; };
    Activate();
    QTest::keyPress(button, Qt::Key_Space);
    EXPECT_TRUE(button->Down());
    EXPECT_EQ(clicks, 0);
    QTest::keyRelease(button, Qt::Key_Space);
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(button, key);
    EXPECT_EQ(clicks, 3);
    // Space held while the focus leaves lets the button up without a click.
    QTest::keyPress(button, Qt::Key_Space);
    button->clearFocus();
    QTest::keyRelease(button, Qt::Key_Space);
    EXPECT_FALSE(button->Down());
    EXPECT_EQ(clicks, 3);
}

TEST_F(ColorButtonTest, FocusShowsADottedMarkInTheCaptionColourAndLeavesNoTrace) {
    button->setFontColor(clWhite);
    Activate(); // which gives the only button the focus
    const QImage focused = Grab();
    // Dots on every other pixel, two pixels inside the face (2, 2)-(148, 40).
    for (int x = 4; x <= 142; x += 2) {
        EXPECT_EQ(At(focused, x, 4), (Rgb{255, 255, 255})) << x;
        EXPECT_EQ(At(focused, x + 1, 4), kFace) << x;
    }
    button->clearFocus();
    EXPECT_EQ(At(Grab(), 4, 4), kFace);
}

TEST_F(ColorButtonTest, ScreenReadersSeeAPushButtonNamedByItsCaptionThatTheyCanPress) {
    button->OnClick = [this](ColorButton*) { ++clicks; };
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
    ASSERT_TRUE(accessible);
    EXPECT_EQ(accessible->role(), QAccessible::Button);
    for (auto [caption, name] : {std::pair{"&Share In", "Share In"}, {"Save && Restore", "Save & Restore"}}) {
        button->setCaption(QString::fromUtf8(caption));
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(name)) << caption;
    }
    accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(clicks, 1);
}

// The same button on a screen of two device pixels per pixel (ctest sets QT_SCALE_FACTOR=2).
class HiDpiColorButton : public ColorButtonTest {
protected:
    void SetUp() override {
        ColorButtonTest::SetUp();
        if (button->devicePixelRatioF() != 2.0) GTEST_SKIP() << "needs QT_SCALE_FACTOR=2";
        QFont font(QStringLiteral("Arial"));
        font.setPixelSize(12);
        font.setBold(true);
        button->setFont(font);
        button->setFontColor(clWhite);
        button->setCaption(QStringLiteral("Monitor Printer"));
    }
    // The colours of the device pixels of the button's pixel (x, y).
    static QSet<QRgb> Block(const QImage& image, int x, int y) {
        return {image.pixel(2 * x, 2 * y), image.pixel(2 * x + 1, 2 * y), image.pixel(2 * x, 2 * y + 1),
                image.pixel(2 * x + 1, 2 * y + 1)};
    }
};

TEST_F(HiDpiColorButton, CaptionIsDrawnAtTheScreensResolutionAndTheBevelStaysSharp) {
    const QImage image = Grab();
    ASSERT_EQ(image.size(), QSize(300, 84));
    for (auto [x, y, colour] : {std::tuple{0, 20, kLight}, {149, 20, kBlack}, {148, 20, kDark}, {75, 40, kDark}})
        EXPECT_EQ(Block(image, x, y), QSet<QRgb>{qRgb(colour.r, colour.g, colour.b)}) << x << "," << y;
    // The caption's edges fall inside pixels, in shades between face and white: a
    // scaled-up bitmap would fill whole blocks with one of the two.
    int split = 0;
    QSet<QRgb> levels;
    for (int y = 2; y < 40; ++y)
        for (int x = 2; x < 148; ++x) {
            const QSet<QRgb> block = Block(image, x, y);
            split += block.size() > 1;
            levels.unite(block);
        }
    EXPECT_GT(split, 40);
    EXPECT_GT(levels.size(), 4);
    // Pressing moves the face by one pixel, two device pixels.
    button->setDown(true);
    const QImage down = Grab();
    for (int y = 4; y < 78; ++y)
        for (int x = 4; x < 294; ++x) ASSERT_EQ(down.pixel(x + 2, y + 2), image.pixel(x, y)) << x << "," << y;
}
