#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "shaders/BlendCursor.h"
#include "shaders/VariantTest.h"
#include "support/GuardedBuffer.h"

namespace tamro::shaders {
namespace {

using test::GuardedBuffer;

using BlendCursorRowTest = test::VariantTest<BlendCursorRows>;

// Every alpha over every background level, with premultiplied colours and with colours brighter
// than their alpha (which clamp): each variant, the reference among them, gives
// min(255, s + d x (255 - a) / 255 rounded) and alpha 255, or the background unchanged where the
// cursor is transparent.
TEST_P(BlendCursorRowTest, BlendsEveryAlphaOverEveryBackgroundAsTheFormulaSays) {
    constexpr uint32_t kWidth = 256 * 256;
    std::vector<uint8_t> cursor(kWidth * 4), background(kWidth * 4);
    for (uint32_t i = 0; i < kWidth; ++i) {
        const uint32_t alpha = i >> 8, level = i & 255;
        uint8_t* s = &cursor[i * 4];
        s[0] = static_cast<uint8_t>(alpha * (i % 7) / 6);          // premultiplied
        s[1] = static_cast<uint8_t>(alpha - alpha * (i % 5) / 4);  // premultiplied
        s[2] = static_cast<uint8_t>(level ^ 0x5A);                 // any value: may clamp
        s[3] = static_cast<uint8_t>(alpha);
        uint8_t* d = &background[i * 4];
        d[0] = static_cast<uint8_t>(level), d[1] = static_cast<uint8_t>(255 - level);
        d[2] = static_cast<uint8_t>(level * 3), d[3] = static_cast<uint8_t>(level ^ 0x33);
    }
    std::vector<uint8_t> blended = background;
    Variant().row(cursor.data(), blended.data(), kWidth);
    for (uint32_t i = 0; i < kWidth; ++i) {
        const uint8_t* s = &cursor[i * 4];
        const uint8_t* d = &background[i * 4];
        const uint8_t* out = &blended[i * 4];
        if (s[3] == 0) {
            ASSERT_EQ(std::memcmp(out, d, 4), 0) << i;
            continue;
        }
        for (int c = 0; c < 3; ++c) {
            const double expected = s[c] + std::round(d[c] * (255.0 - s[3]) / 255.0);
            ASSERT_EQ(out[c], std::min(255.0, expected)) << i << " channel " << c;
        }
        ASSERT_EQ(out[3], 255) << i;
    }
}

// At every width up to past two vectors, from unaligned starts, both rows ending right before a
// page that cannot be touched.
TEST_P(BlendCursorRowTest, MatchesTheReferenceAtEveryWidthTouchingNothingPastTheRow) {
    for (uint32_t width = 1; width <= 40; ++width) {
        const auto blend = [width](CursorBlendRowFunction row, uint8_t* const* b) {
            for (uint32_t x = 0; x < width; x += 3)
                b[0][x * 4 + 3] = 0;  // some transparent pixels between the others
            row(b[0], b[1], width);
        };
        EXPECT_TRUE(SameBytes({width * 4, width * 4}, blend)) << "width " << width;
    }
}

// The cursor placed across each edge of a frame with padded rows, and wholly outside it, lands
// exactly on the frame pixels it covers, through the variant forced on BlendCursor; the frame's
// last byte lies right before an untouchable page.
TEST_P(BlendCursorRowTest, BlendCursorClipsToTheFrame) {
    constexpr int32_t kCursorWidth = 11, kCursorHeight = 7, kCursorStride = kCursorWidth * 4 + 8;
    constexpr int32_t kWidth = 37, kHeight = 23, kStride = kWidth * 4 + 12;
    std::mt19937 random(4);
    std::vector<uint8_t> cursor(kCursorStride * kCursorHeight);
    for (uint8_t& byte : cursor)
        byte = static_cast<uint8_t>(random());
    GuardedBuffer frame(kStride * (kHeight - 1) + kWidth * 4);
    const std::pair<int32_t, int32_t> kPlaces[] = {{-4, -3}, {30, -2}, {-6, 19}, {31, 20},
                                                   {13, 8},  {-11, 5}, {37, 5},  {5, -7},
                                                   {5, 23},  {0, 0},   {26, 16}};
    for (const auto& [left, top] : kPlaces) {
        frame.Fill(random);
        std::vector<uint8_t> expected(frame.data(), frame.data() + frame.size());
        for (int32_t cy = 0; cy < kCursorHeight; ++cy) {
            for (int32_t cx = 0; cx < kCursorWidth; ++cx) {
                const int32_t x = left + cx, y = top + cy;
                if (x >= 0 && x < kWidth && y >= 0 && y < kHeight) {
                    Reference().row(&cursor[cy * kCursorStride + cx * 4],
                                    &expected[y * kStride + x * 4], 1);
                }
            }
        }
        BlendCursor(cursor.data(), kCursorStride, kCursorWidth, kCursorHeight, left, top,
                    frame.data(), kStride, kWidth, kHeight);
        ASSERT_EQ(std::vector<uint8_t>(frame.data(), frame.data() + frame.size()), expected)
            << "at " << left << "," << top;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, BlendCursorRowTest, BlendCursorRowTest::Indices(),
                         BlendCursorRowTest::Name);

}  // namespace
}  // namespace tamro::shaders
