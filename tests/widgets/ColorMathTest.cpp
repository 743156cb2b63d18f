#include "widgets/ColorMath.h"

#include <gtest/gtest.h>

using namespace quill::widgets;

namespace quill::widgets {
inline void PrintTo(const Rgb& c, std::ostream* os) { *os << int(c.r) << "," << int(c.g) << "," << int(c.b); }
} // namespace quill::widgets

namespace {

struct BevelRow {
    TColor face;
    Rgb highlight;
    Rgb shadow;
};

} // namespace

TEST(ColorMath, BevelColoursOfTheMainWindowsTwoButtonColours) {
    const BevelRow rows[] = {
        {6737049, {203, 229, 178}, {61, 92, 31}}, // normal: RGB 153, 204, 102
        {44879, {167, 215, 127}, {32, 70, 0}},    // hover: RGB 79, 175, 0
    };
    for (const auto& row : rows) {
        const Rgb face = ColorToRGB(row.face);
        EXPECT_EQ(Highlight(face, ContrastFactor(5)), row.highlight) << row.face;
        EXPECT_EQ(Shadow(face, ContrastFactor(6)), row.shadow) << row.face;
    }
}

TEST(ColorMath, HighlightRoundsHalvesToEven) {
    // (256 - 153) * 0.5 = 51.5 rounds to 52, (256 - 79) * 0.5 = 88.5 to 88.
    EXPECT_EQ(Highlight({153, 79, 0}, 0.5f), (Rgb{203, 167, 127}));
}

TEST(ColorMath, ContrastZeroTurnsZeroInto255AndLowersTheRestByOne) {
    EXPECT_EQ(Highlight({0, 1, 255}, ContrastFactor(0)), (Rgb{255, 0, 254}));
    EXPECT_EQ(Highlight({100, 0, 200}, ContrastFactor(0)), (Rgb{99, 255, 199}));
}

TEST(ColorMath, ContrastNineGivesAlmostWhiteAndAlmostBlack) {
    EXPECT_EQ(Highlight({0, 0, 0}, ContrastFactor(9)), (Rgb{229, 229, 229})); // 256 * 0.1 = 25.6 -> 26
    EXPECT_EQ(Shadow({255, 255, 255}, ContrastFactor(9)), (Rgb{26, 26, 26}));
}

TEST(ColorMath, SystemColoursResolveBeforeUse) {
    EXPECT_EQ(ColorToRGB(clBtnFace), (Rgb{240, 240, 240}));
    EXPECT_EQ(ColorToRGB(clGrayText), (Rgb{109, 109, 109}));
    EXPECT_EQ(ColorToRGB(0x00E7E3E8), (Rgb{232, 227, 231}));
    EXPECT_EQ(RGBToColor({153, 204, 102}), 6737049);
}

TEST(ColorMath, HlsOfPrimaryAndGreyColours) {
    const Hls red = RGB2HLS(1, 0, 0);
    EXPECT_DOUBLE_EQ(red.h, 0.0);
    EXPECT_DOUBLE_EQ(red.l, 0.5);
    EXPECT_DOUBLE_EQ(red.s, 1.0);
    const Hls blue = RGB2HLS(0, 0, 1);
    EXPECT_DOUBLE_EQ(blue.h, 4.0 / 6.0);
    const Hls magenta = RGB2HLS(1, 0, 1);
    EXPECT_DOUBLE_EQ(magenta.h, 5.0 / 6.0);
    const Hls grey = RGB2HLS(0.5, 0.5, 0.5);
    EXPECT_DOUBLE_EQ(grey.h, 0.0);
    EXPECT_DOUBLE_EQ(grey.s, 0.0);
    EXPECT_DOUBLE_EQ(grey.l, 0.5);
    const Hls light = RGB2HLS(1.0, 0.8, 0.8); // lightness above one half
    EXPECT_NEAR(light.s, 0.2 / 0.2, 1e-12);
}

TEST(ColorMath, HlsRoundTripsEveryCornerAndMidColour) {
    for (int r = 0; r <= 255; r += 51)
        for (int g = 0; g <= 255; g += 51)
            for (int b = 0; b <= 255; b += 51) {
                double rr, gg, bb;
                HLS2RGB(RGB2HLS(r / 255.0, g / 255.0, b / 255.0), rr, gg, bb);
                EXPECT_NEAR(rr * 255, r, 1e-9);
                EXPECT_NEAR(gg * 255, g, 1e-9);
                EXPECT_NEAR(bb * 255, b, 1e-9);
            }
}

TEST(ColorMath, OutOfRangeComponentsRaiseEColorConvNamingTheComponent) {
    double r, g, b;
    auto message = [](auto&& call) {
        try {
            call();
        } catch (const EColorConv& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { HLS2RGB({1.5, 0.5, 0.5}, r, g, b); }), "HLS2RGB: 0 <= Hue value <= 1 required");
    EXPECT_EQ(message([&] { HLS2RGB({0.5, -0.1, 0.5}, r, g, b); }), "HLS2RGB: 0 <= Luminance value <= 1 required");
    EXPECT_EQ(message([&] { HLS2RGB({0.5, 0.5, 2}, r, g, b); }), "HLS2RGB: 0 <= Saturation value <= 1 required");
    EXPECT_EQ(message([&] { RGB2HLS(-1, 0, 0); }), "RGB2HLS: 0 <= Red value <= 1 required");
    EXPECT_EQ(message([&] { RGB2HLS(0, 1.01, 0); }), "RGB2HLS: 0 <= Green value <= 1 required");
    EXPECT_EQ(message([&] { RGB2HLS(0, 0, 7); }), "RGB2HLS: 0 <= Blue value <= 1 required");
}
