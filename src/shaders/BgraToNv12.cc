#include "shaders/BgraToNv12.h"

#include <immintrin.h>

#include <algorithm>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

// Fixed point with 15 fraction bits. Luma: (0.2126 R + 0.7152 G + 0.0722 B) x 0.8588 + 16/255
// (rounded); chroma works on the sum of four pixels, so its coefficients carry a quarter.
constexpr int kShift = 15;
constexpr int kLumaR = 5983;
constexpr int kLumaG = 20127;
constexpr int kLumaB = 2032;
constexpr int kLumaOffset = 540295;
constexpr int kUR = -939;
constexpr int kUG = -3157;
constexpr int kUB = 4096;
constexpr int kVR = 4096;
constexpr int kVG = -3721;
constexpr int kVB = -375;
constexpr int kChromaOffset = 128 << kShift;

uint8_t Clamp8(int value) {
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

uint8_t Luma(const uint8_t* pixel, int r, int b) {
    return Clamp8((kLumaR * pixel[r] + kLumaG * pixel[1] + kLumaB * pixel[b] + kLumaOffset) >>
                  kShift);
}

// 8 pixels unpacked to 16-bit channels: pixels 0, 1 | 4, 5 in `low`, 2, 3 | 6, 7 in `high`.
struct Unpacked {
    __m256i low;
    __m256i high;
};

__attribute__((target("avx2"))) Unpacked Unpack(const uint8_t* pixels) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels));
    return {_mm256_unpacklo_epi8(bytes, zero), _mm256_unpackhi_epi8(bytes, zero)};
}

// Luma of 8 pixels as 32-bit values in pixel order.
__attribute__((target("avx2"))) __m256i LumaOf(const Unpacked& p, __m256i coefficients,
                                               __m256i offset) {
    const __m256i sums = _mm256_hadd_epi32(_mm256_madd_epi16(p.low, coefficients),
                                           _mm256_madd_epi16(p.high, coefficients));
    return _mm256_srai_epi32(_mm256_add_epi32(sums, offset), kShift);
}

// 16 luma values into 16 bytes.
__attribute__((target("avx2"))) void StoreLuma(__m256i first, __m256i second, uint8_t* luma) {
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(first, second), 0xD8);
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(luma), _mm256_castsi256_si128(bytes));
}

// Channel sums of the four 2x2 blocks of 8 pixels in two rows, one block per 64-bit group.
__attribute__((target("avx2"))) __m256i BlockSums(const Unpacked& top, const Unpacked& bottom) {
    const __m256i low = _mm256_add_epi16(top.low, bottom.low);
    const __m256i high = _mm256_add_epi16(top.high, bottom.high);
    return _mm256_unpacklo_epi64(_mm256_add_epi16(low, _mm256_srli_si256(low, 8)),
                                 _mm256_add_epi16(high, _mm256_srli_si256(high, 8)));
}

__attribute__((target("avx2"))) __m256i ChromaOf(__m256i blocks0, __m256i blocks1,
                                                 __m256i coefficients, __m256i offset) {
    const __m256i sums = _mm256_hadd_epi32(_mm256_madd_epi16(blocks0, coefficients),
                                           _mm256_madd_epi16(blocks1, coefficients));
    return _mm256_srai_epi32(_mm256_add_epi32(sums, offset), kShift);
}

// 8 U and 8 V values into 8 interleaved pairs.
__attribute__((target("avx2"))) void StoreChroma(__m256i u, __m256i v, uint8_t* chroma) {
    const __m256i words =
        _mm256_packs_epi32(_mm256_unpacklo_epi32(u, v), _mm256_unpackhi_epi32(u, v));
    const __m256i bytes = _mm256_packus_epi16(words, words);
    const __m256i ordered =
        _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma), _mm256_castsi256_si128(ordered));
}

__attribute__((target("avx2"))) __m256i Coefficients(int r, int g, int b, bool redFirst) {
    return redFirst ? _mm256_setr_epi16(r, g, b, 0, r, g, b, 0, r, g, b, 0, r, g, b, 0)
                    : _mm256_setr_epi16(b, g, r, 0, b, g, r, 0, b, g, r, 0, b, g, r, 0);
}

// Each 16-pixel step unpacks the two rows once and takes luma and chroma from the same values.
__attribute__((target("avx2"))) void RowPairAvx2(const uint8_t* row0, const uint8_t* row1,
                                                 uint8_t* luma0, uint8_t* luma1, uint8_t* chroma,
                                                 uint32_t width, bool redFirst) {
    const __m256i luma = Coefficients(kLumaR, kLumaG, kLumaB, redFirst);
    const __m256i u = Coefficients(kUR, kUG, kUB, redFirst);
    const __m256i v = Coefficients(kVR, kVG, kVB, redFirst);
    const __m256i lumaOffset = _mm256_set1_epi32(kLumaOffset);
    const __m256i chromaOffset = _mm256_set1_epi32(kChromaOffset);
    const uint32_t vectorWidth = width & ~15u;
    for (uint32_t x = 0; x < vectorWidth; x += 16) {
        const Unpacked a0 = Unpack(row0 + x * 4);
        const Unpacked a1 = Unpack(row0 + x * 4 + 32);
        const Unpacked b0 = Unpack(row1 + x * 4);
        const Unpacked b1 = Unpack(row1 + x * 4 + 32);
        StoreLuma(LumaOf(a0, luma, lumaOffset), LumaOf(a1, luma, lumaOffset), luma0 + x);
        StoreLuma(LumaOf(b0, luma, lumaOffset), LumaOf(b1, luma, lumaOffset), luma1 + x);
        const __m256i blocks0 = BlockSums(a0, b0);
        const __m256i blocks1 = BlockSums(a1, b1);
        StoreChroma(ChromaOf(blocks0, blocks1, u, chromaOffset),
                    ChromaOf(blocks0, blocks1, v, chromaOffset), chroma + x);
    }
    if (vectorWidth < width) {
        BgraToNv12RowPairPlain(row0 + vectorWidth * 4, row1 + vectorWidth * 4, luma0 + vectorWidth,
                               luma1 + vectorWidth, chroma + vectorWidth, width - vectorWidth,
                               redFirst);
    }
}

bool ValidArgs(const gfx::KernelArgs& args) {
    if (args.inputs.size() != 1 || args.outputs.size() != 2 || !args.inputs[0] ||
        !args.outputs[0] || !args.outputs[1]) {
        return false;
    }
    const gfx::Texture& in = *args.inputs[0];
    const gfx::Texture& luma = *args.outputs[0];
    const gfx::Texture& chroma = *args.outputs[1];
    const gfx::Format format = in.Desc().format;
    return (format == gfx::Format::kBGRA8 || format == gfx::Format::kRGBA8) &&
           luma.Desc().format == gfx::Format::kR8 && chroma.Desc().format == gfx::Format::kR8G8 &&
           in.Width() % 2 == 0 && in.Height() % 2 == 0 && luma.Width() == in.Width() &&
           luma.Height() == in.Height() && chroma.Width() == in.Width() / 2 &&
           chroma.Height() == in.Height() / 2;
}

}  // namespace

void BgraToNv12RowPairPlain(const uint8_t* row0, const uint8_t* row1, uint8_t* luma0,
                            uint8_t* luma1, uint8_t* chroma, uint32_t width, bool redFirst) {
    const int r = redFirst ? 0 : 2;
    const int b = redFirst ? 2 : 0;
    for (uint32_t x = 0; x < width; x += 2) {
        const uint8_t* p = row0 + x * 4;
        const uint8_t* q = row1 + x * 4;
        luma0[x] = Luma(p, r, b);
        luma0[x + 1] = Luma(p + 4, r, b);
        luma1[x] = Luma(q, r, b);
        luma1[x + 1] = Luma(q + 4, r, b);
        const int sr = p[r] + p[4 + r] + q[r] + q[4 + r];
        const int sg = p[1] + p[5] + q[1] + q[5];
        const int sb = p[b] + p[4 + b] + q[b] + q[4 + b];
        chroma[x] = Clamp8((kUR * sr + kUG * sg + kUB * sb + kChromaOffset) >> kShift);
        chroma[x + 1] = Clamp8((kVR * sr + kVG * sg + kVB * sb + kChromaOffset) >> kShift);
    }
}

Nv12RowPairFunction BestNv12RowPair() {
    static const Nv12RowPairFunction best =
        __builtin_cpu_supports("avx2") ? RowPairAvx2 : BgraToNv12RowPairPlain;
    return best;
}

int32_t BgraToNv12(const gfx::KernelArgs& args) {
    if (!ValidArgs(args))
        return kInvalidArg;
    const gfx::Texture& in = *args.inputs[0];
    const gfx::Texture& luma = *args.outputs[0];
    const gfx::Texture& chroma = *args.outputs[1];
    const bool redFirst = in.Desc().format == gfx::Format::kRGBA8;
    const Nv12RowPairFunction rowPair = BestNv12RowPair();
    for (uint32_t y = 0; y < in.Height(); y += 2) {
        rowPair(in.Row(y), in.Row(y + 1), luma.Row(y), luma.Row(y + 1), chroma.Row(y / 2),
                in.Width(), redFirst);
    }
    return kOk;
}

}  // namespace tamro::shaders
