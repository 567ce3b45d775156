#include "platform/camera/SyntheticPicture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "platform/camera/SyntheticFrameCode.h"

namespace tamro::platform::camera {
namespace {

// A pixel as a 32-bit value: B, G, R, A in memory on this little-endian machine.
constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) {
    return 0xFF000000u | r << 16 | g << 8 | b;
}

uint32_t Shade(uint32_t colour, double factor) {
    const auto channel = [&](int shift) {
        const double value = ((colour >> shift) & 0xFF) * factor;
        return static_cast<uint32_t>(std::clamp(value, 0.0, 255.0)) << shift;
    };
    return 0xFF000000u | channel(16) | channel(8) | channel(0);
}

uint32_t Hash(uint32_t value) {
    value ^= value >> 16;
    value *= 0x7FEB352Du;
    value ^= value >> 15;
    value *= 0x846CA68Bu;
    return value ^ value >> 16;
}

// A number in [0, 1) picked by `seed`.
double Pick(uint32_t seed) {
    return (Hash(seed) & 0xFFFF) / 65536.0;
}

constexpr uint32_t kWall = Rgb(168, 182, 194);
constexpr uint32_t kWood = Rgb(112, 74, 42);
constexpr uint32_t kShelfBack = Rgb(66, 48, 34);
constexpr uint32_t kSkin = Rgb(226, 176, 142);
constexpr uint32_t kSkinShadow = Rgb(196, 142, 110);
constexpr uint32_t kHair = Rgb(46, 32, 24);
constexpr uint32_t kEyeWhite = Rgb(236, 232, 226);
constexpr uint32_t kIris = Rgb(52, 40, 30);
constexpr uint32_t kLips = Rgb(170, 84, 80);
constexpr uint32_t kShirt = Rgb(44, 96, 168);
constexpr uint32_t kCaptionBox = Rgb(24, 24, 24);
constexpr uint32_t kCaptionText = Rgb(250, 250, 250);
constexpr std::array<uint32_t, 8> kBookColours = {
    Rgb(140, 46, 40), Rgb(40, 84, 120),   Rgb(60, 110, 64), Rgb(196, 160, 80),
    Rgb(90, 60, 110), Rgb(210, 200, 180), Rgb(150, 90, 50), Rgb(30, 40, 50)};

// Rows of a 5 × 7 font, bit 4 leftmost: the digits, then ':' and '.'.
constexpr std::array<std::array<uint8_t, 7>, 12> kGlyphs = {{
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C},
}};

const std::array<uint8_t, 7>* GlyphOf(char c) {
    if (c >= '0' && c <= '9')
        return &kGlyphs[c - '0'];
    if (c == ':')
        return &kGlyphs[10];
    if (c == '.')
        return &kGlyphs[11];
    return nullptr;
}

// Filled shapes, clipped to the picture.
class Canvas {
  public:
    Canvas(uint32_t* pixels, uint32_t width, uint32_t height)
        : m_pixels(pixels), m_width(static_cast<int>(width)), m_height(static_cast<int>(height)) {}

    void FillRect(int left, int top, int right, int bottom, uint32_t colour) {
        left = std::max(left, 0);
        top = std::max(top, 0);
        right = std::min(right, m_width);
        bottom = std::min(bottom, m_height);
        for (int y = top; y < bottom; ++y)
            std::fill(Row(y) + left, Row(y) + std::max(left, right), colour);
    }
    template <typename ColourAt>
    void FillRect(int left, int top, int right, int bottom, ColourAt colourAt) {
        left = std::max(left, 0);
        right = std::min(right, m_width);
        for (int y = std::max(top, 0); y < std::min(bottom, m_height); ++y) {
            uint32_t* row = Row(y);
            for (int x = left; x < right; ++x)
                row[x] = colourAt(x, y);
        }
    }

    // Fills the rows of the ellipse from `fromY` down with `colourAt(x, y)`.
    template <typename ColourAt>
    void FillEllipse(double cx, double cy, double rx, double ry, double fromY, ColourAt colourAt) {
        const int top =
            std::max({static_cast<int>(std::ceil(cy - ry)), 0, static_cast<int>(std::ceil(fromY))});
        const int bottom = std::min(static_cast<int>(std::ceil(cy + ry)), m_height);
        for (int y = top; y < bottom; ++y) {
            const double dy = (y + 0.5 - cy) / ry;
            if (dy * dy >= 1.0)
                continue;
            const double half = rx * std::sqrt(1.0 - dy * dy);
            const int left = std::max(static_cast<int>(std::lround(cx - half)), 0);
            const int right = std::min(static_cast<int>(std::lround(cx + half)), m_width);
            uint32_t* row = Row(y);
            for (int x = left; x < right; ++x)
                row[x] = colourAt(x, y);
        }
    }
    void FillEllipse(double cx, double cy, double rx, double ry, uint32_t colour) {
        FillEllipse(cx, cy, rx, ry, cy - ry, [colour](int, int) { return colour; });
    }

    void DrawText(const char* text, int left, int top, int dot, uint32_t colour) {
        for (int x = left; *text != '\0'; ++text, x += 6 * dot) {
            const auto* glyph = GlyphOf(*text);
            for (int row = 0; glyph != nullptr && row < 7; ++row) {
                for (int column = 0; column < 5; ++column) {
                    if (((*glyph)[row] >> (4 - column) & 1) != 0) {
                        const int px = x + column * dot;
                        const int py = top + row * dot;
                        FillRect(px, py, px + dot, py + dot, colour);
                    }
                }
            }
        }
    }

    uint32_t* Row(int y) { return m_pixels + static_cast<size_t>(y) * m_width; }

  private:
    uint32_t* m_pixels;
    int m_width;
    int m_height;
};

// Book spines up to `room` tall standing on a shelf between `left` and `right`, whose top is at
// `shelfTop`.
void PaintBooks(Canvas& canvas, int left, int right, int shelfTop, int room, uint32_t width,
                uint32_t seed) {
    for (int x = left; x < right; ++seed) {
        const int spine = static_cast<int>((0.010 + 0.018 * Pick(seed * 3)) * width) + 2;
        const int height = static_cast<int>(room * (0.55 + 0.35 * Pick(seed * 3 + 1)));
        const uint32_t colour =
            Shade(kBookColours[Hash(seed * 3 + 2) % kBookColours.size()], 0.85 + 0.3 * Pick(seed));
        const int end = std::min(x + spine, right);
        canvas.FillRect(x, shelfTop - height, end, shelfTop, colour);
        const int band = shelfTop - height + height / 6;
        canvas.FillRect(x + 1, band, end - 1, band + std::max(height / 20, 1), Shade(colour, 1.4));
        x = end + (Pick(seed * 7) < 0.15 ? spine : 1);
    }
}

}  // namespace

// The person's place and size: units of `scale` pixels measured from `top`.
struct SyntheticPicture::Figure {
    double centreX;
    double top;
    double scale;

    double Y(double units) const { return top + units * scale; }
    double Size(double units) const { return units * scale; }
};

SyntheticPicture::SyntheticPicture(uint32_t width, uint32_t height)
    : m_width(width),
      m_height(height),
      m_background(size_t{width} * height),
      m_pixels(size_t{width} * height) {
    PaintBackground();
}

Frame SyntheticPicture::Draw(uint32_t number, int64_t elapsedNs) {
    std::copy(m_background.begin(), m_background.end(), m_pixels.begin());
    PaintFigure(FigureAt(elapsedNs));
    PaintCaption(number, elapsedNs);
    PaintFrameCode(number);
    return Frame{reinterpret_cast<const uint8_t*>(m_pixels.data()), m_width * 4, m_width, m_height};
}

SyntheticPicture::Box SyntheticPicture::Face(int64_t elapsedNs) const {
    const Figure figure = FigureAt(elapsedNs);
    const double half = figure.Size(0.055);
    return Box{static_cast<int32_t>(std::ceil(figure.centreX - half)),
               static_cast<int32_t>(std::ceil(figure.Y(0.37))),
               static_cast<int32_t>(figure.centreX + half), static_cast<int32_t>(figure.Y(0.50))};
}

SyntheticPicture::Figure SyntheticPicture::FigureAt(int64_t elapsedNs) const {
    const double phase = 2.0 * std::numbers::pi * static_cast<double>(elapsedNs % kSwayPeriodNs) /
                         static_cast<double>(kSwayPeriodNs);
    const double scale = std::min(m_height, m_width);
    return Figure{m_width * (0.5 + 0.08 * std::sin(phase)), m_height - scale, scale};
}

void SyntheticPicture::PaintBackground() {
    // A wall lit from above with a soft pattern and a little grain, as a camera sees one.
    std::vector<double> across(m_width);
    for (uint32_t x = 0; x < m_width; ++x)
        across[x] = std::sin(2.0 * std::numbers::pi * x / (0.09 * m_width + 1.0));
    for (uint32_t y = 0; y < m_height; ++y) {
        const double down = std::sin(2.0 * std::numbers::pi * y / (0.17 * m_height + 1.0));
        const double light = 1.04 - 0.14 * y / m_height;
        uint32_t* row = m_background.data() + size_t{y} * m_width;
        for (uint32_t x = 0; x < m_width; ++x) {
            const double grain = 0.012 * (Pick(y * 65599u + x) - 0.5);
            row[x] = Shade(kWall, light + 0.035 * across[x] * down + grain);
        }
    }

    Canvas canvas(m_background.data(), m_width, m_height);
    const auto at = [](uint32_t size, double fraction) {
        return static_cast<int>(size * fraction);
    };

    // A framed picture on the left.
    canvas.FillRect(at(m_width, 0.06), at(m_height, 0.36), at(m_width, 0.24), at(m_height, 0.62),
                    kWood);
    const int innerLeft = at(m_width, 0.07);
    const int innerTop = at(m_height, 0.38);
    const int innerBottom = at(m_height, 0.60);
    for (int y = innerTop; y < innerBottom; ++y) {
        const double t = static_cast<double>(y - innerTop) / (innerBottom - innerTop);
        const uint32_t colour = t < 0.6 ? Shade(Rgb(150, 190, 220), 1.1 - 0.3 * t)
                                        : Shade(Rgb(90, 130, 70), 1.2 - 0.4 * t);
        canvas.FillRect(innerLeft, y, at(m_width, 0.23), y + 1, colour);
    }

    // A bookshelf on the right: frame, back, shelves and books.
    const int shelfLeft = at(m_width, 0.70);
    const int shelfRight = at(m_width, 0.97);
    const int side = std::max(at(m_width, 0.012), 2);
    canvas.FillRect(shelfLeft, at(m_height, 0.08), shelfRight, m_height, kWood);
    canvas.FillRect(shelfLeft + side, at(m_height, 0.08) + side, shelfRight - side, m_height,
                    kShelfBack);
    const int room = std::max(at(m_height, 0.2), 4);
    const int plank = std::max(at(m_height, 0.018), 2);
    for (int shelf = 0, top = at(m_height, 0.08) + room; top < static_cast<int>(m_height);
         ++shelf, top += room) {
        PaintBooks(canvas, shelfLeft + side, shelfRight - side, top, room - plank, m_width,
                   static_cast<uint32_t>(shelf) * 101u);
        canvas.FillRect(shelfLeft, top, shelfRight, top + plank, kWood);
    }
}

void SyntheticPicture::PaintFigure(const Figure& f) {
    Canvas canvas(m_pixels.data(), m_width, m_height);
    const double cx = f.centreX;
    const auto shaded = [cx](uint32_t colour, double radius, double depth) {
        return [=](int x, int) {
            const double d = (x + 0.5 - cx) / radius;
            return Shade(colour, 1.0 - depth * d * d);
        };
    };

    // Shoulders and shirt, with a V neck.
    const double torsoHalf = f.Size(0.32);
    const auto shirt = shaded(kShirt, torsoHalf, 0.35);
    canvas.FillEllipse(cx, f.Y(0.80), torsoHalf, f.Size(0.19), f.Y(0.61), shirt);
    canvas.FillRect(static_cast<int>(std::lround(cx - torsoHalf)), static_cast<int>(f.Y(0.80)),
                    static_cast<int>(std::lround(cx + torsoHalf)), static_cast<int>(m_height),
                    shirt);
    canvas.FillRect(static_cast<int>(cx - f.Size(0.037)), static_cast<int>(f.Y(0.50)),
                    static_cast<int>(cx + f.Size(0.037)), static_cast<int>(f.Y(0.62)), kSkinShadow);
    for (int y = static_cast<int>(f.Y(0.61)); y < static_cast<int>(f.Y(0.69)); ++y) {
        const double half = f.Size(0.045) * (f.Y(0.69) - y) / f.Size(0.08);
        canvas.FillRect(static_cast<int>(cx - half), y, static_cast<int>(cx + half), y + 1,
                        kSkinShadow);
    }

    // Hair behind, ears, then the face below the hairline.
    canvas.FillEllipse(cx, f.Y(0.385), f.Size(0.093), f.Size(0.118), kHair);
    for (const double side : {-1.0, 1.0})
        canvas.FillEllipse(cx + side * f.Size(0.083), f.Y(0.44), f.Size(0.016), f.Size(0.03),
                           kSkinShadow);
    canvas.FillEllipse(cx, f.Y(0.44), f.Size(0.082), f.Size(0.105), f.Y(0.36),
                       shaded(kSkin, f.Size(0.082), 0.18));

    // Brows, eyes, nose and mouth.
    for (const double side : {-1.0, 1.0}) {
        const double eyeX = cx + side * f.Size(0.031);
        canvas.FillRect(static_cast<int>(eyeX - f.Size(0.016)), static_cast<int>(f.Y(0.398)),
                        static_cast<int>(eyeX + f.Size(0.016)), static_cast<int>(f.Y(0.406)) + 1,
                        kHair);
        canvas.FillEllipse(eyeX, f.Y(0.42), f.Size(0.011), f.Size(0.0065), kEyeWhite);
        canvas.FillEllipse(eyeX, f.Y(0.42), f.Size(0.0055), f.Size(0.0055), kIris);
    }
    canvas.FillEllipse(cx, f.Y(0.455), f.Size(0.009), f.Size(0.016), kSkinShadow);
    canvas.FillEllipse(cx, f.Y(0.49), f.Size(0.024), f.Size(0.0065), kLips);
}

void SyntheticPicture::PaintCaption(uint32_t number, int64_t elapsedNs) {
    const int64_t ms = elapsedNs / 1'000'000;
    char frameText[16];
    char timeText[32];
    std::snprintf(frameText, sizeof frameText, "%06u", number);
    std::snprintf(timeText, sizeof timeText, "%02lld:%02lld.%03lld",
                  static_cast<long long>(ms / 60'000), static_cast<long long>(ms / 1000 % 60),
                  static_cast<long long>(ms % 1000));

    Canvas canvas(m_pixels.data(), m_width, m_height);
    const int dot = std::max(static_cast<int>(m_height / 100), 2);
    const int lineHeight = 9 * dot;
    const int columns = static_cast<int>(std::max(std::strlen(frameText), std::strlen(timeText)));
    // Centred near the top, where a round bubble still shows it.
    const int boxWidth = 2 * dot + columns * 6 * dot;
    const int left = (static_cast<int>(m_width) - boxWidth) / 2;
    const int top = static_cast<int>(m_height / 10);
    canvas.FillRect(left, top, left + boxWidth, top + dot + 2 * lineHeight, kCaptionBox);
    canvas.DrawText(frameText, left + dot, top + dot, dot, kCaptionText);
    canvas.DrawText(timeText, left + dot, top + dot + lineHeight, dot, kCaptionText);
}

void SyntheticPicture::PaintFrameCode(uint32_t number) {
    Canvas canvas(m_pixels.data(), m_width, m_height);
    const int top = static_cast<int>(SyntheticFrameCode::RowTop(m_width, m_height));
    const int side = static_cast<int>(SyntheticFrameCode::BlockSide(m_width));
    for (uint32_t block = 0; block < SyntheticFrameCode::kBits; ++block) {
        const bool one = (number >> (SyntheticFrameCode::kBits - 1 - block) & 1) != 0;
        canvas.FillRect(static_cast<int>(SyntheticFrameCode::BlockLeft(block, m_width)), top,
                        static_cast<int>(SyntheticFrameCode::BlockLeft(block + 1, m_width)),
                        top + side, one ? Rgb(255, 255, 255) : Rgb(0, 0, 0));
    }
}

}  // namespace tamro::platform::camera
