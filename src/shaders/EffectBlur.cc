#include "shaders/EffectBlur.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

// Every variant must give the reference's bytes: both sum the taps in the same order with the
// same fused multiply-adds (std::fma in the reference), and this file is built with
// -ffp-contract=off so that the compiler fuses nothing else in either.

namespace tamro::shaders {

namespace {

// Columns of the vertical pass's float cache: 24 pixels (four blocks of the paired rows) by a
// band's rows and aprons (about 36 KB at 720 rows) stay in the first-level cache while every
// output row reads 2r + 1 of them; 64 pixels, spilling into the second level, took 40 % longer.
constexpr uint32_t kStripPixels = 24;
constexpr ptrdiff_t kStripStride = kStripPixels * 4;

// The passes' float buffers start on a cache line, so that their vectors, 32-byte multiples
// apart, never straddle one.
constexpr size_t kLineFloats = 64 / sizeof(float);

float* LineAligned(std::vector<float>& floats) {
    const auto at = reinterpret_cast<uintptr_t>(floats.data());
    return floats.data() + (-at & 63) / sizeof(float);
}

bool IsPixelFormat(const gfx::Texture& texture) {
    const gfx::Format format = texture.Desc().format;
    return format == gfx::Format::kBGRA8 || format == gfx::Format::kRGBA8;
}

bool ValidArgs(const gfx::KernelArgs& args) {
    if (args.inputs.size() != 1 || args.outputs.size() != 1 || !args.inputs[0] ||
        !args.outputs[0] || !args.constants || args.constantsSize != sizeof(BlurConstants))
        return false;
    const gfx::Texture& in = *args.inputs[0];
    const gfx::Texture& out = *args.outputs[0];
    return IsPixelFormat(in) && IsPixelFormat(out) && in.Width() == out.Width() &&
           in.Height() == out.Height() && &in != &out;
}

BlurTaps TapsOf(const gfx::KernelArgs& args) {
    BlurConstants k;
    std::memcpy(&k, args.constants, sizeof(k));
    return BlurTapsFor(k.radius);
}

uint8_t ToByte(float v) {
    return static_cast<uint8_t>(std::clamp<long>(std::lrint(v), 0, 255));
}

// The reference's sum of one channel value whose neighbours lie `step` floats apart.
float Convolve(const BlurTaps& taps, const float* at, ptrdiff_t step) {
    float sum = at[0] * taps.weight[0];
    for (int32_t i = 1; i <= taps.radius; ++i)
        sum = std::fma(at[i * step] + at[-i * step], taps.weight[i], sum);
    return sum;
}

void ConvolveRowPlain(const BlurTaps& taps, const float* centre, ptrdiff_t step, uint8_t* out,
                      uint32_t count) {
    for (uint32_t j = 0; j < count; ++j)
        out[j] = ToByte(Convolve(taps, centre + j, step));
}

// The row's pixels as floats, bytes 0 and 2 exchanged, with `radius` copies of the end pixels
// on each side.
void WidenExchangedPlain(const uint8_t* in, uint32_t width, int32_t radius, float* out) {
    const auto last = static_cast<int32_t>(width) - 1;
    for (int32_t k = 0; k < last + 1 + 2 * radius; ++k) {
        const uint8_t* p = in + std::clamp(k - radius, 0, last) * 4;
        float* f = out + k * 4;
        f[0] = p[2];
        f[1] = p[1];
        f[2] = p[0];
        f[3] = p[3];
    }
}

void WidenPlain(const uint8_t* in, uint32_t count, float* out) {
    for (uint32_t i = 0; i < count; ++i)
        out[i] = in[i];
}

// The same arithmetic on eight channel values (two pixels) per vector, `kVectors` vectors at a
// time so that the multiply-adds of one tap do not wait on each other.

template <int kVectors>
__attribute__((target("avx2,fma"))) inline void Convolve8(const BlurTaps& taps, const float* at,
                                                          ptrdiff_t step, __m256* sum) {
    const __m256 centre = _mm256_set1_ps(taps.weight[0]);
#pragma GCC unroll 4
    for (int v = 0; v < kVectors; ++v)
        sum[v] = _mm256_mul_ps(_mm256_loadu_ps(at + v * 8), centre);
    for (int32_t i = 1; i <= taps.radius; ++i) {
        const __m256 weight = _mm256_set1_ps(taps.weight[i]);
        const float* after = at + i * step;
        const float* before = at - i * step;
#pragma GCC unroll 4
        for (int v = 0; v < kVectors; ++v) {
            const __m256 pair =
                _mm256_add_ps(_mm256_loadu_ps(after + v * 8), _mm256_loadu_ps(before + v * 8));
            sum[v] = _mm256_fmadd_ps(pair, weight, sum[v]);
        }
    }
}

// Four vectors rounded to 32 bytes, saturated, in order.
__attribute__((target("avx2"))) void Store32(const __m256* sum, uint8_t* out) {
    const __m256i low = _mm256_packs_epi32(_mm256_cvtps_epi32(sum[0]), _mm256_cvtps_epi32(sum[1]));
    const __m256i high = _mm256_packs_epi32(_mm256_cvtps_epi32(sum[2]), _mm256_cvtps_epi32(sum[3]));
    const __m256i bytes = _mm256_packus_epi16(low, high);
    _mm256_storeu_si256(
        reinterpret_cast<__m256i*>(out),
        _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}

__attribute__((target("avx2"))) void Store8(__m256 sum, uint8_t* out) {
    const __m256i words = _mm256_cvtps_epi32(sum);
    const __m128i halves =
        _mm_packs_epi32(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(halves, halves));
}

__attribute__((target("avx2,fma"))) void ConvolveRowAvx2(const BlurTaps& taps, const float* centre,
                                                         ptrdiff_t step, uint8_t* out,
                                                         uint32_t count) {
    uint32_t j = 0;
    for (; j + 32 <= count; j += 32) {
        __m256 sum[4];
        Convolve8<4>(taps, centre + j, step, sum);
        Store32(sum, out + j);
    }
    for (; j + 8 <= count; j += 8) {
        __m256 sum[1];
        Convolve8<1>(taps, centre + j, step, sum);
        Store8(sum[0], out + j);
    }
    ConvolveRowPlain(taps, centre + j, step, out + j, count - j);
}

// Rows y and y + 1, three vectors of each: tap i of row y pairs rows y + i and y - i, of row
// y + 1 rows y + 1 + i and y + 1 - i, so each tap loads two new rows and reuses the two of the
// tap before. Six independent sums hide the multiply-add's latency within the 16 registers.
__attribute__((target("avx2,fma"), always_inline)) inline void SumPair24(
    const BlurTaps& taps, const float* at, ptrdiff_t stride, __m256* upper, __m256* lower) {
    constexpr int kVectors = 3;
    const __m256 centre = _mm256_set1_ps(taps.weight[0]);
    __m256 high[kVectors], low[kVectors];
#pragma GCC unroll 3
    for (int v = 0; v < kVectors; ++v) {
        low[v] = _mm256_loadu_ps(at + v * 8);
        high[v] = _mm256_loadu_ps(at + stride + v * 8);
        upper[v] = _mm256_mul_ps(low[v], centre);
        lower[v] = _mm256_mul_ps(high[v], centre);
    }
    for (int32_t i = 1; i <= taps.radius; ++i) {
        const __m256 weight = _mm256_set1_ps(taps.weight[i]);
        const float* after = at + (i + 1) * stride;
        const float* before = at - i * stride;
#pragma GCC unroll 3
        for (int v = 0; v < kVectors; ++v) {
            const __m256 newHigh = _mm256_loadu_ps(after + v * 8);
            const __m256 newLow = _mm256_loadu_ps(before + v * 8);
            upper[v] = _mm256_fmadd_ps(_mm256_add_ps(high[v], newLow), weight, upper[v]);
            lower[v] = _mm256_fmadd_ps(_mm256_add_ps(newHigh, low[v]), weight, lower[v]);
            high[v] = newHigh;
            low[v] = newLow;
        }
    }
}

__attribute__((target("avx2,fma"))) void ConvolvePair24(const BlurTaps& taps, const float* at,
                                                        ptrdiff_t stride, uint8_t* out,
                                                        uint8_t* below) {
    __m256 upper[3], lower[3];
    SumPair24(taps, at, stride, upper, lower);
#pragma GCC unroll 3
    for (int v = 0; v < 3; ++v) {
        Store8(upper[v], out + v * 8);
        Store8(lower[v], below + v * 8);
    }
}

__attribute__((target("avx2,fma"))) void VerticalRowsAvx2(const BlurTaps& taps, const float* centre,
                                                          ptrdiff_t stride, uint8_t* out,
                                                          uint8_t* below, uint32_t count) {
    uint32_t j = 0;
    if (below) {
        for (; j + 24 <= count; j += 24)
            ConvolvePair24(taps, centre + j, stride, out + j, below + j);
        ConvolveRowAvx2(taps, centre + stride + j, stride, below + j, count - j);
    }
    ConvolveRowAvx2(taps, centre + j, stride, out + j, count - j);
}

__attribute__((target("avx2"))) void WidenAvx2(const uint8_t* in, uint32_t count, float* out) {
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
        _mm256_storeu_ps(out + i, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)));
    }
    WidenPlain(in + i, count - i, out + i);
}

// The avx2 horizontal pass runs the vertical pass's paired-row convolution across a row cut into
// six segments laid side by side: position k holds pixel k of every segment (with the segment's
// neighbours as aprons), so each tap is one load per three vectors and the loads of a tap serve
// two outputs, where a sweep along the row loads two unaligned vectors per tap and output. The
// sums are the reference's, tap for tap. The last segment ends at the row's end, overlapping the
// one before where the row does not divide by six (those pixels are computed twice, alike).
constexpr uint32_t kSegments = 6;
constexpr ptrdiff_t kSegmentStride = kSegments * 4;

uint32_t SegmentLength(uint32_t width) {
    return (width + kSegments - 1) / kSegments;
}

uint32_t SegmentStart(uint32_t s, uint32_t width) {
    return std::min(s * SegmentLength(width), width - SegmentLength(width));
}

// Pixels start .. start + count - 1 of the row, exchanged, as floats at `out`, `kSegmentStride`
// apart; pixels beyond the row are its end pixels.
__attribute__((target("avx2"))) void WidenSegment(const uint8_t* in, uint32_t width, int32_t start,
                                                  int32_t count, float* out) {
    const __m256i exchange = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15,
                                              2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    const auto last = static_cast<int32_t>(width) - 1;
    auto one = [&](int32_t k) {
        const uint8_t* p = in + std::clamp(start + k, 0, last) * 4;
        float* f = out + k * kSegmentStride;
        f[0] = p[2], f[1] = p[1], f[2] = p[0], f[3] = p[3];
    };
    int32_t k = 0;
    for (; k < count && start + k < 0; ++k)
        one(k);
    // Eight pixels at a time while they lie within the row.
    for (; k + 8 <= count && start + k + 8 <= last + 1; k += 8) {
        const __m256i pixels = _mm256_shuffle_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + (start + k) * 4)), exchange);
        float* f = out + k * kSegmentStride;
        const __m128i halves[2] = {_mm256_castsi256_si128(pixels),
                                   _mm256_extracti128_si256(pixels, 1)};
        for (int h = 0; h < 2; ++h, f += 4 * kSegmentStride) {
            const __m256 a = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(halves[h]));
            const __m256 b = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(halves[h], 8)));
            _mm_storeu_ps(f, _mm256_castps256_ps128(a));
            _mm_storeu_ps(f + kSegmentStride, _mm256_extractf128_ps(a, 1));
            _mm_storeu_ps(f + 2 * kSegmentStride, _mm256_castps256_ps128(b));
            _mm_storeu_ps(f + 3 * kSegmentStride, _mm256_extractf128_ps(b, 1));
        }
    }
    for (; k < count; ++k)
        one(k);
}

// Eight floats rounded and saturated to two pixels, stored apart.
__attribute__((target("avx2"), always_inline)) inline void StoreApart(__m256 sum, uint8_t* first,
                                                                      uint8_t* second) {
    const __m256i words = _mm256_cvtps_epi32(sum);
    const __m128i halves =
        _mm_packs_epi32(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    const __m128i bytes = _mm_packus_epi16(halves, halves);
    _mm_storeu_si32(first, bytes);
    _mm_storeu_si32(second, _mm_srli_si128(bytes, 4));
}

// Position k's sums, pixel k of every segment.
__attribute__((target("avx2"), always_inline)) inline void StorePosition(const __m256* sums,
                                                                         uint8_t* const* segment,
                                                                         uint32_t k) {
#pragma GCC unroll 3
    for (uint32_t v = 0; v < 3; ++v)
        StoreApart(sums[v], segment[2 * v] + k * 4, segment[2 * v + 1] + k * 4);
}

__attribute__((target("avx2,fma"))) void HorizontalRowAvx2(const BlurTaps& taps, const uint8_t* in,
                                                           uint8_t* out, uint32_t width,
                                                           float* scratch) {
    const uint32_t length = SegmentLength(width);
    const int32_t r = taps.radius;
    // One position more than the segments need: an odd last one is summed in a pair too.
    const auto positions = static_cast<int32_t>(length) + 2 * r + 1;
    uint8_t* segment[kSegments];
    for (uint32_t s = 0; s < kSegments; ++s) {
        const uint32_t start = SegmentStart(s, width);
        WidenSegment(in, width, static_cast<int32_t>(start) - r, positions, scratch + s * 4);
        segment[s] = out + start * 4;
    }
    const float* centre = scratch + r * kSegmentStride;
    uint32_t k = 0;
    for (; k + 2 <= length; k += 2) {
        __m256 upper[3], lower[3];
        SumPair24(taps, centre + k * kSegmentStride, kSegmentStride, upper, lower);
        StorePosition(upper, segment, k);
        StorePosition(lower, segment, k + 1);
    }
    if (k < length) {
        __m256 upper[3], lower[3];
        SumPair24(taps, centre + k * kSegmentStride, kSegmentStride, upper, lower);
        StorePosition(upper, segment, k);
    }
}

void Widen(const uint8_t* in, uint32_t count, float* out) {
    if (CpuFeatures() & kCpuAvx2)
        WidenAvx2(in, count, out);
    else
        WidenPlain(in, count, out);
}

// Output rows [first, end) in strips of columns: each strip's input rows, with the aprons above
// and below (clamped to the picture), widened once into `cache`.
void VerticalBand(const BlurTaps& taps, const gfx::Texture& in, const gfx::Texture& out,
                  uint32_t first, uint32_t end) {
    const int32_t r = taps.radius;
    const uint32_t cachedRows = end - first + 2 * static_cast<uint32_t>(r);
    std::vector<float> storage(static_cast<size_t>(cachedRows) * kStripStride + kLineFloats);
    float* const cache = LineAligned(storage);
    const BlurVerticalRowFunction row = BlurVerticalRows().row();
    const auto lastRow = static_cast<int32_t>(in.Height()) - 1;
    for (uint32_t x = 0; x < in.Width(); x += kStripPixels) {
        const uint32_t count = std::min(kStripPixels, in.Width() - x) * 4;
        for (uint32_t k = 0; k < cachedRows; ++k) {
            const int32_t y = std::clamp(static_cast<int32_t>(first + k) - r, 0, lastRow);
            Widen(in.Row(static_cast<uint32_t>(y)) + x * 4, count, &cache[k * kStripStride]);
        }
        for (uint32_t y = first; y < end; y += 2) {
            const float* centre = &cache[(y - first + static_cast<uint32_t>(r)) * kStripStride];
            uint8_t* below = y + 1 < end ? out.Row(y + 1) + x * 4 : nullptr;
            row(taps, centre, kStripStride, out.Row(y) + x * 4, below, count);
        }
    }
}

}  // namespace

size_t BlurScratchFloats(uint32_t width, int32_t radius) {
    // The row with its aprons, or its segments side by side with theirs, and one more position
    // for a last odd one's pair.
    const size_t positions = SegmentLength(width) + 2 * static_cast<size_t>(radius) + 1;
    return std::max((width + 2 * static_cast<size_t>(radius)) * 4, positions * kSegmentStride);
}

BlurTaps BlurTapsFor(float radius) {
    BlurTaps taps;
    taps.radius = std::max(0, std::min(static_cast<int32_t>(radius), kMaxBlurRadius));
    if (taps.radius == 0) {
        taps.weight[0] = 1.0f;
        return taps;
    }
    const float sigma = static_cast<float>(taps.radius);
    float total = 0;
    for (int32_t i = 0; i <= taps.radius; ++i) {
        taps.weight[i] = std::exp(-static_cast<float>(i * i) / (2.0f * sigma * sigma));
        total += i == 0 ? taps.weight[i] : 2.0f * taps.weight[i];
    }
    for (int32_t i = 0; i <= taps.radius; ++i)
        taps.weight[i] /= total;
    return taps;
}

void BlurHorizontalRowPlain(const BlurTaps& taps, const uint8_t* in, uint8_t* out, uint32_t width,
                            float* scratch) {
    WidenExchangedPlain(in, width, taps.radius, scratch);
    ConvolveRowPlain(taps, scratch + taps.radius * 4, 4, out, width * 4);
}

void BlurVerticalRowPlain(const BlurTaps& taps, const float* centre, ptrdiff_t stride, uint8_t* out,
                          uint8_t* below, uint32_t count) {
    ConvolveRowPlain(taps, centre, stride, out, count);
    if (below)
        ConvolveRowPlain(taps, centre + stride, stride, below, count);
}

RowSelection<BlurHorizontalRowFunction>& BlurHorizontalRows() {
    static constexpr RowVariant<BlurHorizontalRowFunction> kVariants[] = {
        {"plain", kCpuPlain, BlurHorizontalRowPlain},
        {"avx2", kCpuAvx2, HorizontalRowAvx2},
    };
    static RowSelection<BlurHorizontalRowFunction> selection(kVariants);
    return selection;
}

RowSelection<BlurVerticalRowFunction>& BlurVerticalRows() {
    static constexpr RowVariant<BlurVerticalRowFunction> kVariants[] = {
        {"plain", kCpuPlain, BlurVerticalRowPlain},
        {"avx2", kCpuAvx2, VerticalRowsAvx2},
    };
    static RowSelection<BlurVerticalRowFunction> selection(kVariants);
    return selection;
}

uint32_t EffectBlurRows(const gfx::KernelArgs& args) {
    return ValidArgs(args) ? args.outputs[0]->Height() : 0;
}

int32_t EffectBlurHorizontal(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidArgs(args) || band.first > band.end || band.end > args.outputs[0]->Height())
        return kInvalidArg;
    const BlurTaps taps = TapsOf(args);
    const gfx::Texture& in = *args.inputs[0];
    const gfx::Texture& out = *args.outputs[0];
    std::vector<float> scratch(BlurScratchFloats(in.Width(), taps.radius) + kLineFloats);
    const BlurHorizontalRowFunction row = BlurHorizontalRows().row();
    for (uint32_t y = band.first; y < band.end; ++y)
        row(taps, in.Row(y), out.Row(y), in.Width(), LineAligned(scratch));
    return kOk;
}

int32_t EffectBlurVertical(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidArgs(args) || band.first > band.end || band.end > args.outputs[0]->Height())
        return kInvalidArg;
    if (band.first < band.end)
        VerticalBand(TapsOf(args), *args.inputs[0], *args.outputs[0], band.first, band.end);
    return kOk;
}

}  // namespace tamro::shaders
