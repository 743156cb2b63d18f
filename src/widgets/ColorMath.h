#pragma once

#include <cstdint>
#include <stdexcept>

namespace quill::widgets {

// A colour value 0x00BBGGRR, or a system colour (0x80000000 + colour index).
using TColor = std::int32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clWindowText = static_cast<TColor>(0x80000008);
inline constexpr TColor clBtnFace = static_cast<TColor>(0x8000000F);
inline constexpr TColor clGrayText = static_cast<TColor>(0x80000011);

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// A system colour replaced by its current value; other values taken apart.
Rgb ColorToRGB(TColor color);
TColor RGBToColor(Rgb rgb);

class EColorConv : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Hue (fraction of a turn), lightness and saturation, each 0 to 1.
struct Hls {
    double h = 0, l = 0, s = 0;
};
Hls RGB2HLS(double red, double green, double blue);
void HLS2RGB(const Hls& hls, double& red, double& green, double& blue);

// The light bevel colour: each byte x becomes 255 - (round((256 - x) * kH) mod 256),
// kH a 32-bit float.
Rgb Highlight(Rgb face, float kH);
// The dark bevel colour: the lightness of the face colour times kS.
Rgb Shadow(Rgb face, float kS);

// kH and kS for a contrast of 0 to 9: (10 - contrast) / 10.
float ContrastFactor(int contrast);

} // namespace quill::widgets
