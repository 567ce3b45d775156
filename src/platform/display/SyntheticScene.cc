#include "platform/display/SyntheticScene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "shaders/BlendCursor.h"

namespace tamro::platform {

namespace {

// Seven-segment masks for 0-9: bits a b c d e f g.
constexpr std::array<uint8_t, 10> kDigitSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                    0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void PaintDigit(gfx::Texture& texture, int32_t x, int32_t y, int32_t size, int digit) {
    const int32_t t = std::max(2, size / 6);  // stroke
    const int32_t w = size;
    const int32_t h = size * 2;
    struct Segment {
        int32_t x, y, w, h;
    };
    const std::array<Segment, 7> segments = {{
        {t, 0, w - 2 * t, t},              // a
        {w - t, t, t, h / 2 - t},          // b
        {w - t, h / 2, t, h / 2 - t},      // c
        {t, h - t, w - 2 * t, t},          // d
        {0, h / 2, t, h / 2 - t},          // e
        {0, t, t, h / 2 - t},              // f
        {t, h / 2 - t / 2, w - 2 * t, t},  // g
    }};
    const uint8_t mask = kDigitSegments[digit % 10];
    for (int i = 0; i < 7; ++i) {
        if (mask & (1 << i)) {
            const Segment& s = segments[i];
            SyntheticScene::FillRect(texture, x + s.x, y + s.y, s.w, s.h, 0xFFFFFFFF);
        }
    }
}

void PaintNumber(gfx::Texture& texture, int32_t x, int32_t y, int32_t size, uint64_t value,
                 int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        PaintDigit(texture, x + i * (size + size / 3), y, size, static_cast<int>(value % 10));
        value /= 10;
    }
}

// The arrow cursor as a premultiplied ARGB image, blended as the X11 display blends XFixes
// cursors: row r is r + 1 pixels wide down to row 11, then narrows by two a row; black edges,
// white inside, transparent around it.
constexpr int32_t kArrowWidth = 12;
constexpr int32_t kArrowHeight = 18;
using ArrowPixels = std::array<uint32_t, static_cast<size_t>(kArrowWidth) * kArrowHeight>;
constexpr ArrowPixels kArrow = [] {
    ArrowPixels pixels{};
    for (int32_t row = 0; row < kArrowHeight; ++row) {
        const int32_t span = std::max(1, row < 12 ? row + 1 : 12 - (row - 12) * 2);
        for (int32_t column = 0; column < span; ++column) {
            const bool edge = column == 0 || column == span - 1;
            pixels[row * kArrowWidth + column] = edge ? 0xFF000000u : 0xFFFFFFFFu;
        }
    }
    return pixels;
}();

}  // namespace

CursorPosition SyntheticScene::CursorTour(int64_t timeNs) {
    struct Stop {
        double x, y;
        double leaveAt;   // seconds into the tour
        double arriveAt;  // at the next stop
    };
    static constexpr std::array<Stop, 4> kStops = {{{960, 540, 2.5, 4.0},
                                                    {480, 300, 5.5, 7.0},
                                                    {1440, 760, 8.5, 10.0},
                                                    {960, 540, 12.0, 12.0}}};
    constexpr double kLength = 12.0;
    const double t = std::fmod(static_cast<double>(std::max<int64_t>(timeNs, 0)) / 1e9, kLength);
    for (size_t i = 0; i + 1 < kStops.size(); ++i) {
        const Stop& from = kStops[i];
        const Stop& to = kStops[i + 1];
        if (t < from.leaveAt)
            return {static_cast<int32_t>(from.x), static_cast<int32_t>(from.y)};
        if (t < from.arriveAt) {
            const double p = (t - from.leaveAt) / (from.arriveAt - from.leaveAt);
            const double e = 0.5 - 0.5 * std::cos(p * std::numbers::pi);
            return {static_cast<int32_t>(from.x + (to.x - from.x) * e),
                    static_cast<int32_t>(from.y + (to.y - from.y) * e)};
        }
    }
    return {static_cast<int32_t>(kStops.back().x), static_cast<int32_t>(kStops.back().y)};
}

void SyntheticScene::FillRect(gfx::Texture& texture, int32_t x, int32_t y, int32_t width,
                              int32_t height, uint32_t argb) {
    const int32_t x0 = std::max(0, x);
    const int32_t y0 = std::max(0, y);
    const int32_t x1 = std::min<int32_t>(texture.Width(), x + width);
    const int32_t y1 = std::min<int32_t>(texture.Height(), y + height);
    for (int32_t row = y0; row < y1; ++row) {
        auto* pixels = reinterpret_cast<uint32_t*>(texture.Row(row));
        std::fill(pixels + x0, pixels + std::max(x0, x1), argb);
    }
}

void SyntheticScene::Paint(gfx::Texture& texture, uint32_t width, uint32_t height, int64_t timeNs,
                           uint64_t frameIndex) {
    width = std::min(width, texture.Width());
    height = std::min(height, texture.Height());
    const double seconds = static_cast<double>(timeNs) / 1e9;
    for (uint32_t y = 0; y < height; ++y) {
        auto* pixels = reinterpret_cast<uint32_t*>(texture.Row(y));
        const uint32_t blue = 60 + 100 * y / std::max(1u, height);
        const uint32_t base = 0xFF000000u | (20u << 16) | (30u << 8) | blue;
        std::fill(pixels, pixels + width, base);
    }
    const int32_t w = static_cast<int32_t>(width);
    const int32_t h = static_cast<int32_t>(height);
    const int32_t box = std::max(8, h / 8);
    const auto bounce = [](double position, int32_t span) {
        const double period = 2.0 * std::max(1, span);
        const double p = std::fmod(position, period);
        return static_cast<int32_t>(p < span ? p : period - p);
    };
    FillRect(texture, bounce(seconds * w * 0.25, w - box), h / 4, box, box, 0xFFE04040);
    FillRect(texture, bounce(seconds * w * 0.4 + w / 3, w - box), h / 2, box, box, 0xFF40C060);
    FillRect(texture, w / 2, bounce(seconds * h * 0.3, h - box), box / 2, box, 0xFFF0C030);
    const int32_t digit = std::max(6, h / 20);
    const uint64_t ms = static_cast<uint64_t>(timeNs / 1'000'000);
    const int32_t advance = digit + digit / 3;
    PaintNumber(texture, digit, digit, digit, ms / 60000 % 100, 2);
    PaintNumber(texture, digit + 3 * advance, digit, digit, ms / 1000 % 60, 2);
    PaintNumber(texture, digit + 6 * advance, digit, digit, ms % 1000, 3);
    PaintNumber(texture, digit, digit * 4, digit / 2, frameIndex % 100000, 5);
}

void SyntheticScene::PaintCursor(gfx::Texture& texture, int32_t x, int32_t y) {
    shaders::BlendCursor(reinterpret_cast<const uint8_t*>(kArrow.data()), kArrowWidth * 4,
                         kArrowWidth, kArrowHeight, x, y, texture.Data(), texture.RowPitch(),
                         static_cast<int32_t>(texture.Width()),
                         static_cast<int32_t>(texture.Height()));
}

}  // namespace tamro::platform
