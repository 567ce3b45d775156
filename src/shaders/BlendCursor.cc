#include "shaders/BlendCursor.h"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>

namespace tamro::shaders {
namespace {

// Products d x (255 - a) over 255, rounded to nearest, as 16-bit lanes: with t = p + 128,
// (t + (t >> 8)) >> 8, exact for every product of two bytes; every step fits 16 bits unsigned.
__attribute__((target("avx2"))) __m256i DivideBy255Avx2(__m256i products) {
    const __m256i t = _mm256_add_epi16(products, _mm256_set1_epi16(128));
    return _mm256_srli_epi16(_mm256_add_epi16(t, _mm256_srli_epi16(t, 8)), 8);
}

// Eight pixels a step; the rest (fewer than eight) by the reference, so no load or store passes
// the row's last pixel.
__attribute__((target("avx2"))) void BlendCursorRowAvx2(const uint8_t* cursor, uint8_t* frame,
                                                        uint32_t width) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i alphaBytes = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    // Each pixel's alpha byte copied into its four bytes.
    const __m256i spreadAlpha =
        _mm256_setr_epi8(3, 3, 3, 3, 7, 7, 7, 7, 11, 11, 11, 11, 15, 15, 15, 15, 3, 3, 3, 3, 7, 7,
                         7, 7, 11, 11, 11, 11, 15, 15, 15, 15);
    const uint32_t vectorWidth = width & ~7u;
    for (uint32_t x = 0; x < vectorWidth; x += 8) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cursor + x * 4));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frame + x * 4));
        const __m256i inverse =
            _mm256_xor_si256(_mm256_shuffle_epi8(s, spreadAlpha), _mm256_set1_epi8(-1));
        const __m256i low = DivideBy255Avx2(
            _mm256_mullo_epi16(_mm256_unpacklo_epi8(d, zero), _mm256_unpacklo_epi8(inverse, zero)));
        const __m256i high = DivideBy255Avx2(
            _mm256_mullo_epi16(_mm256_unpackhi_epi8(d, zero), _mm256_unpackhi_epi8(inverse, zero)));
        const __m256i blended =
            _mm256_or_si256(_mm256_adds_epu8(s, _mm256_packus_epi16(low, high)), alphaBytes);
        const __m256i transparent = _mm256_cmpeq_epi32(_mm256_and_si256(s, alphaBytes), zero);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(frame + x * 4),
                            _mm256_blendv_epi8(blended, d, transparent));
    }
    if (vectorWidth < width)
        BlendCursorRowPlain(cursor + vectorWidth * 4, frame + vectorWidth * 4, width - vectorWidth);
}

}  // namespace

void BlendCursorRowPlain(const uint8_t* cursor, uint8_t* frame, uint32_t width) {
    for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* s = cursor + x * 4;
        uint8_t* d = frame + x * 4;
        const uint32_t alpha = s[3];
        if (alpha == 0)
            continue;
        const uint32_t inverse = 255 - alpha;
        for (int channel = 0; channel < 3; ++channel)
            d[channel] = static_cast<uint8_t>(
                std::min<uint32_t>(255, s[channel] + (d[channel] * inverse + 127) / 255));
        d[3] = 255;
    }
}

RowSelection<CursorBlendRowFunction>& BlendCursorRows() {
    static constexpr RowVariant<CursorBlendRowFunction> kVariants[] = {
        {"plain", kCpuPlain, BlendCursorRowPlain},
        {"avx2", kCpuAvx2, BlendCursorRowAvx2},
    };
    static RowSelection<CursorBlendRowFunction> selection(kVariants);
    return selection;
}

void BlendCursor(const uint8_t* cursor, uint32_t cursorStride, int32_t cursorWidth,
                 int32_t cursorHeight, int32_t left, int32_t top, uint8_t* frame,
                 uint32_t frameStride, int32_t frameWidth, int32_t frameHeight) {
    if (!cursor || !frame)
        return;
    // The cursor's columns and rows that land inside the frame, in 64 bits so that no sum wraps.
    const int64_t firstColumn = std::max<int64_t>(0, -int64_t{left});
    const int64_t endColumn = std::min<int64_t>(cursorWidth, int64_t{frameWidth} - left);
    const int64_t firstRow = std::max<int64_t>(0, -int64_t{top});
    const int64_t endRow = std::min<int64_t>(cursorHeight, int64_t{frameHeight} - top);
    if (firstColumn >= endColumn || firstRow >= endRow)
        return;
    const CursorBlendRowFunction row = BlendCursorRows().row();
    const auto width = static_cast<uint32_t>(endColumn - firstColumn);
    for (int64_t cy = firstRow; cy < endRow; ++cy) {
        row(cursor + static_cast<size_t>(cy) * cursorStride + static_cast<size_t>(firstColumn) * 4,
            frame + static_cast<size_t>(top + cy) * frameStride +
                static_cast<size_t>(left + firstColumn) * 4,
            width);
    }
}

}  // namespace tamro::shaders
