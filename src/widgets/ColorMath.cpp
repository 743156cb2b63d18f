#include "widgets/ColorMath.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace quill::widgets {
namespace {

// Rounds to the nearest integer, halves to even.
long RoundHalfEven(double v) {
    return std::lrint(v); // the default rounding mode rounds halves to even
}

std::uint8_t Scale255(double component) { return static_cast<std::uint8_t>(RoundHalfEven(component * 255.0)); }

void CheckRange(const char* function, const char* component, double value) {
    if (!(value >= 0.0 && value <= 1.0))
        throw EColorConv(std::string(function) + ": 0 <= " + component + " value <= 1 required");
}

} // namespace

Rgb ColorToRGB(TColor color) {
    if (color < 0) {
        switch (color & 0xFF) {
        case 5: return {255, 255, 255};  // window
        case 8: return {0, 0, 0};        // window text
        case 15: return {240, 240, 240}; // button face
        case 16: return {160, 160, 160}; // button shadow
        case 17: return {109, 109, 109}; // grey text
        case 18: return {0, 0, 0};       // button text
        case 20: return {255, 255, 255}; // button highlight
        default: return {0, 0, 0};
        }
    }
    const auto value = static_cast<std::uint32_t>(color);
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>((value >> 16) & 0xFF)};
}

TColor RGBToColor(Rgb rgb) { return static_cast<TColor>(rgb.r | (rgb.g << 8) | (rgb.b << 16)); }

Hls RGB2HLS(double red, double green, double blue) {
    CheckRange("RGB2HLS", "Red", red);
    CheckRange("RGB2HLS", "Green", green);
    CheckRange("RGB2HLS", "Blue", blue);
    const double mx = std::max({red, green, blue});
    const double mn = std::min({red, green, blue});
    Hls hls;
    hls.l = (mx + mn) / 2.0;
    if (mx == mn) return hls; // a grey: hue 0, saturation 0
    const double d = mx - mn;
    hls.s = hls.l <= 0.5 ? d / (mx + mn) : d / (2.0 - mx - mn);
    double h;
    if (red == mx) h = (green - blue) / d;
    else if (green == mx) h = 2.0 + (blue - red) / d;
    else h = 4.0 + (red - green) / d;
    h /= 6.0;
    if (h < 0.0) h += 1.0;
    hls.h = h;
    return hls;
}

void HLS2RGB(const Hls& hls, double& red, double& green, double& blue) {
    CheckRange("HLS2RGB", "Hue", hls.h);
    CheckRange("HLS2RGB", "Luminance", hls.l);
    CheckRange("HLS2RGB", "Saturation", hls.s);
    static const double kCorners[6][3] = {{1, -1, -1}, {1, 1, -1}, {-1, 1, -1}, {-1, 1, 1}, {-1, -1, 1}, {1, -1, 1}};
    const double six = 6.0 * hls.h;
    const int s = static_cast<int>(std::floor(six)) % 6;
    const double f = six - std::floor(six);
    double out[3];
    for (int i = 0; i < 3; ++i) {
        const double a = kCorners[s][i], b = kCorners[(s + 1) % 6][i];
        const double c = (a + f * (b - a)) * hls.s;
        const double v = hls.l <= 0.5 ? hls.l * (1.0 + c) : hls.l + (1.0 - hls.l) * c;
        out[i] = std::clamp(v, 0.0, 1.0);
    }
    red = out[0];
    green = out[1];
    blue = out[2];
}

Rgb Highlight(Rgb face, float kH) {
    auto light = [kH](std::uint8_t x) {
        const long rounded = RoundHalfEven(static_cast<double>(256 - x) * static_cast<double>(kH));
        return static_cast<std::uint8_t>(255 - (rounded % 256));
    };
    return {light(face.r), light(face.g), light(face.b)};
}

Rgb Shadow(Rgb face, float kS) {
    Hls hls = RGB2HLS(face.r / 255.0, face.g / 255.0, face.b / 255.0);
    hls.l *= static_cast<double>(kS);
    double r, g, b;
    HLS2RGB(hls, r, g, b);
    return {Scale255(r), Scale255(g), Scale255(b)};
}

float ContrastFactor(int contrast) { return static_cast<float>(10 - contrast) / 10.0f; }

} // namespace quill::widgets
