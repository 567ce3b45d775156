#include "shaders/BgraToNv12.h"

#include <immintrin.h>

#include <algorithm>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

// Luma: (0.2126 R + 0.7152 G + 0.0722 B) x 219/255 + 16/255 (rounded), in fixed point with 8
// fraction bits: coefficients that fit a byte, so that byte-by-byte multiply-adds take the
// pixels as loaded, and still within one step of the exact value. Chroma is BT.709 scaled to the
// limited range (x 224/255 around 128) and works on the sum of four pixels with 15 fraction bits,
// so its coefficients carry a quarter; each triple sums to zero so that greys stay at 128, and
// the offset holds half a step so that the shift rounds to nearest.
constexpr int kLumaShift = 8;
constexpr int kLumaR = 47;
constexpr int kLumaG = 157;
constexpr int kLumaB = 16;
constexpr int kLumaOffset = 4221;
constexpr int kShift = 15;
constexpr int kUR = -824;
constexpr int kUG = -2774;
constexpr int kUB = 3598;
constexpr int kVR = 3598;
constexpr int kVG = -3268;
constexpr int kVB = -330;
constexpr int kChromaOffset = (128 << kShift) + (1 << (kShift - 1));
static_assert(kUR + kUG + kUB == 0 && kVR + kVG + kVB == 0);

uint8_t Clamp8(int value) {
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

uint8_t Luma(const uint8_t* pixel, int r, int b) {
    return Bt709Luma(pixel[r], pixel[1], pixel[b]);
}

__attribute__((target("avx2"))) __m256i Load(const uint8_t* pixels) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels));
}

// The multiply-add takes unsigned coefficients and signed values, so pixels go in as p - 128;
// the offset adds 128 x the coefficients' sum back, and the sum then fits 16 bits unsigned.
__attribute__((target("avx2"))) __m256i LumaProducts(__m256i pixels, __m256i coefficients) {
    const __m256i centred = _mm256_xor_si256(pixels, _mm256_set1_epi8(static_cast<char>(0x80)));
    return _mm256_maddubs_epi16(coefficients, centred);
}

// Luma of 8 pixels as 32-bit values; summing the two products of each pixel by a multiply-add
// with one keeps the work off the shuffle unit.
__attribute__((target("avx2"))) __m256i LumaOf8(__m256i pixels, __m256i coefficients,
                                                __m256i offset) {
    const __m256i sums =
        _mm256_madd_epi16(LumaProducts(pixels, coefficients), _mm256_set1_epi16(1));
    return _mm256_srli_epi32(_mm256_add_epi32(sums, offset), kLumaShift);
}

// Luma of 16 pixels as 16-bit values, in the order 0-3, 8-11, 4-7, 12-15 (per-lane packing).
__attribute__((target("avx2"))) __m256i LumaOf(__m256i first, __m256i second, __m256i coefficients,
                                               __m256i offset) {
    return _mm256_packus_epi32(LumaOf8(first, coefficients, offset),
                               LumaOf8(second, coefficients, offset));
}

// 32 luma values (two LumaOf results) into 32 bytes in pixel order.
__attribute__((target("avx2"))) void StoreLuma(__m256i first, __m256i second, uint8_t* luma) {
    const __m256i bytes = _mm256_packus_epi16(first, second);
    const __m256i ordered =
        _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma), ordered);
}

// Channel sums of the four 2x2 blocks of 8 pixels in two rows, as 16-bit values, one block per
// 64-bit group: the same channel of neighbouring pixels is brought side by side, and a
// multiply-add by one sums each pair.
__attribute__((target("avx2"))) __m256i BlockSums(__m256i top, __m256i bottom) {
    const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0,
                                           4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i ones = _mm256_set1_epi8(1);
    return _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_shuffle_epi8(top, pairs), ones),
                            _mm256_maddubs_epi16(_mm256_shuffle_epi8(bottom, pairs), ones));
}

// U and V of four blocks, side by side per block as 32-bit values: the two partial sums of each
// block are added by shifting one onto the other within its 64-bit group.
__attribute__((target("avx2"))) __m256i ChromaOf(__m256i blocks, __m256i u, __m256i v,
                                                 __m256i offset) {
    const __m256i partsU = _mm256_madd_epi16(blocks, u);
    const __m256i partsV = _mm256_madd_epi16(blocks, v);
    const __m256i uLow = _mm256_add_epi32(partsU, _mm256_srli_epi64(partsU, 32));
    const __m256i vHigh = _mm256_add_epi32(partsV, _mm256_slli_epi64(partsV, 32));
    const __m256i uv = _mm256_blend_epi32(uLow, vHigh, 0xAA);
    return _mm256_srai_epi32(_mm256_add_epi32(uv, offset), kShift);
}

// Two ChromaOf results (8 blocks) into 8 interleaved U, V pairs.
__attribute__((target("avx2"))) void StoreChroma(__m256i first, __m256i second, uint8_t* chroma) {
    const __m256i words = _mm256_packs_epi32(first, second);
    const __m256i bytes = _mm256_packus_epi16(words, words);
    const __m256i ordered =
        _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma), _mm256_castsi256_si128(ordered));
}

__attribute__((target("avx2"))) __m256i Coefficients(int r, int g, int b, bool redFirst) {
    return redFirst ? _mm256_setr_epi16(r, g, b, 0, r, g, b, 0, r, g, b, 0, r, g, b, 0)
                    : _mm256_setr_epi16(b, g, r, 0, b, g, r, 0, b, g, r, 0, b, g, r, 0);
}

__attribute__((target("avx2"))) __m256i ByteCoefficients(int r, int g, int b, bool redFirst) {
    const int first = redFirst ? r : b;
    const int third = redFirst ? b : r;
    return _mm256_set1_epi32(first | g << 8 | third << 16);
}

// Chroma of the 2x2 blocks of 16 pixels in two rows.
__attribute__((target("avx2"))) void ChromaOf16(const __m256i* top, const __m256i* bottom,
                                                uint8_t* chroma, __m256i u, __m256i v,
                                                __m256i offset) {
    StoreChroma(ChromaOf(BlockSums(top[0], bottom[0]), u, v, offset),
                ChromaOf(BlockSums(top[1], bottom[1]), u, v, offset), chroma);
}

// Each 32-pixel step loads the two rows once and takes luma and chroma from the bytes as loaded.
__attribute__((target("avx2"))) void RowPairAvx2(const uint8_t* row0, const uint8_t* row1,
                                                 uint8_t* luma0, uint8_t* luma1, uint8_t* chroma,
                                                 uint32_t width, bool redFirst) {
    const __m256i luma = ByteCoefficients(kLumaR, kLumaG, kLumaB, redFirst);
    const __m256i u = Coefficients(kUR, kUG, kUB, redFirst);
    const __m256i v = Coefficients(kVR, kVG, kVB, redFirst);
    const __m256i lumaOffset = _mm256_set1_epi32(kLumaOffset + 128 * (kLumaR + kLumaG + kLumaB));
    const __m256i chromaOffset = _mm256_set1_epi32(kChromaOffset);
    const uint32_t vectorWidth = width & ~31u;
    for (uint32_t x = 0; x < vectorWidth; x += 32) {
        __m256i a[4], b[4];
        for (int i = 0; i < 4; ++i) {
            a[i] = Load(row0 + (x + i * 8) * 4);
            b[i] = Load(row1 + (x + i * 8) * 4);
        }
        StoreLuma(LumaOf(a[0], a[1], luma, lumaOffset), LumaOf(a[2], a[3], luma, lumaOffset),
                  luma0 + x);
        StoreLuma(LumaOf(b[0], b[1], luma, lumaOffset), LumaOf(b[2], b[3], luma, lumaOffset),
                  luma1 + x);
        ChromaOf16(a, b, chroma + x, u, v, chromaOffset);
        ChromaOf16(a + 2, b + 2, chroma + x + 16, u, v, chromaOffset);
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

uint8_t Bt709Luma(int r, int g, int b) {
    return Clamp8((kLumaR * r + kLumaG * g + kLumaB * b + kLumaOffset) >> kLumaShift);
}

uint8_t Bt709ChromaU(int r4, int g4, int b4) {
    return Clamp8((kUR * r4 + kUG * g4 + kUB * b4 + kChromaOffset) >> kShift);
}

uint8_t Bt709ChromaV(int r4, int g4, int b4) {
    return Clamp8((kVR * r4 + kVG * g4 + kVB * b4 + kChromaOffset) >> kShift);
}

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
        chroma[x] = Bt709ChromaU(sr, sg, sb);
        chroma[x + 1] = Bt709ChromaV(sr, sg, sb);
    }
}

RowSelection<Nv12RowPairFunction>& BgraToNv12RowPairs() {
    static constexpr RowVariant<Nv12RowPairFunction> kVariants[] = {
        {"plain", kCpuPlain, BgraToNv12RowPairPlain},
        {"avx2", kCpuAvx2, RowPairAvx2},
    };
    static RowSelection<Nv12RowPairFunction> selection(kVariants);
    return selection;
}

uint32_t BgraToNv12Rows(const gfx::KernelArgs& args) {
    return ValidArgs(args) ? args.inputs[0]->Height() / 2 : 0;
}

int32_t BgraToNv12(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidArgs(args) || band.end > args.inputs[0]->Height() / 2)
        return kInvalidArg;
    const gfx::Texture& in = *args.inputs[0];
    const gfx::Texture& luma = *args.outputs[0];
    const gfx::Texture& chroma = *args.outputs[1];
    const bool redFirst = in.Desc().format == gfx::Format::kRGBA8;
    const Nv12RowPairFunction rowPair = BgraToNv12RowPairs().row();
    for (uint32_t pair = band.first; pair < band.end; ++pair) {
        const uint32_t y = pair * 2;
        rowPair(in.Row(y), in.Row(y + 1), luma.Row(y), luma.Row(y + 1), chroma.Row(pair),
                in.Width(), redFirst);
    }
    return kOk;
}

}  // namespace tamro::shaders
