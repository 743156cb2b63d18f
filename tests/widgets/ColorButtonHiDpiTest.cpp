// The colour button on a high-density screen: run with QT_SCALE_FACTOR=2 (ctest sets it).
#include "widgets/ColorButton.h"

#include <QApplication>
#include <QSet>

#include <gtest/gtest.h>

#include <memory>

using namespace quill::widgets;

namespace {

class HiDpiColorButton : public ::testing::Test {
protected:
    void SetUp() override {
        host = std::make_unique<QWidget>();
        host->resize(400, 200);
        button = new ColorButton(host.get());
        button->setGeometry(10, 10, 150, 42);
        QFont font(QStringLiteral("Arial"));
        font.setPixelSize(12);
        font.setBold(true);
        button->setFont(font);
        button->setFontColor(clWhite);
        button->setColor(6737049);
        button->setCaption(QStringLiteral("Monitor Printer"));
        host->show();
        QApplication::processEvents();
        if (button->devicePixelRatioF() != 2.0) GTEST_SKIP() << "needs QT_SCALE_FACTOR=2";
    }

    // The device pixels of the button's logical pixel (x, y).
    QSet<QRgb> Block(const QImage& image, int x, int y) {
        QSet<QRgb> colours;
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) colours.insert(image.pixel(2 * x + dx, 2 * y + dy));
        return colours;
    }

    std::unique_ptr<QWidget> host;
    ColorButton* button = nullptr;
};

} // namespace

TEST_F(HiDpiColorButton, CaptionIsDrawnAtTheScreensResolutionAndTheBevelStaysSharp) {
    const QImage image = button->grab().toImage();
    ASSERT_EQ(image.size(), QSize(300, 84));
    // Frame and bevel: whole blocks of their colours, as at one pixel per pixel.
    const struct {
        int x, y;
        QRgb colour;
    } edges[] = {{0, 20, qRgb(203, 229, 178)}, {1, 20, qRgb(203, 229, 178)}, {149, 20, qRgb(0, 0, 0)},
                 {148, 20, qRgb(61, 92, 31)},  {75, 41, qRgb(0, 0, 0)},      {75, 40, qRgb(61, 92, 31)}};
    for (const auto& e : edges) EXPECT_EQ(Block(image, e.x, e.y), QSet<QRgb>{e.colour}) << e.x << "," << e.y;
    // The caption's edges fall inside pixels: a scaled-up bitmap would fill whole blocks.
    int split = 0;
    QSet<QRgb> levels;
    for (int y = 2; y < 40; ++y)
        for (int x = 2; x < 148; ++x) {
            const QSet<QRgb> block = Block(image, x, y);
            split += block.size() > 1;
            levels.unite(block);
        }
    EXPECT_GT(split, 40);
    EXPECT_GT(levels.size(), 4); // face, white and the smoothed shades between
}

TEST_F(HiDpiColorButton, PressMovesTheFaceByOnePixelOfTwoDevicePixels) {
    const QImage up = button->grab().toImage();
    button->setDown(true);
    const QImage down = button->grab().toImage();
    for (int y = 4; y < 78; ++y)
        for (int x = 4; x < 294; ++x) ASSERT_EQ(down.pixel(x + 2, y + 2), up.pixel(x, y)) << x << "," << y;
    button->setDown(false);
    EXPECT_EQ(button->grab().toImage(), up);
}
