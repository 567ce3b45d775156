#include "shaders/EffectBlur.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

// The passes sum integers (16-bit values, 32-bit sums), so every variant gives the reference's
// bytes whatever order it adds in: the avx2 rows multiply pairs of taps at once.

namespace tamro::shaders {

namespace {

// Columns of the vertical pass's cache: 48 pixels by a band's rows and aprons (about 36 KB of
// 16-bit values at 720 rows) stay in the first-level cache while every output row reads 2r + 1
// of them.
constexpr uint32_t kStripPixels = 48;
constexpr ptrdiff_t kStripStride = kStripPixels * 4;

// The passes' buffers start on a cache line, so that their vectors, 32-byte multiples apart,
// never straddle one.
constexpr size_t kLineValues = 64 / sizeof(int16_t);

int16_t* LineAligned(int16_t* values) {
    const auto at = reinterpret_cast<uintptr_t>(values);
    return values + (-at & 63) / sizeof(int16_t);
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

// The reference's sum of one channel value whose neighbours lie `step` values apart. The factors
// are positive and add up to the scale, so the result is a byte.
uint8_t Convolve(const BlurTaps& taps, const int16_t* at, ptrdiff_t step) {
    int32_t sum = kBlurScale / 2;
    for (int32_t i = 0; i <= taps.radius; ++i)
        sum += taps.factor[i] * (at[i * step] + at[-i * step]);
    return static_cast<uint8_t>(sum >> kBlurShift);
}

void ConvolveRowPlain(const BlurTaps& taps, const int16_t* centre, ptrdiff_t step, uint8_t* out,
                      uint32_t count) {
    for (uint32_t j = 0; j < count; ++j)
        out[j] = Convolve(taps, centre + j, step);
}

// The row's pixels widened, bytes 0 and 2 exchanged, with `radius` copies of the end pixels on
// each side.
void WidenExchangedPlain(const uint8_t* in, uint32_t width, int32_t radius, int16_t* out) {
    const auto last = static_cast<int32_t>(width) - 1;
    for (int32_t k = 0; k < last + 1 + 2 * radius; ++k) {
        const uint8_t* p = in + std::clamp(k - radius, 0, last) * 4;
        int16_t* f = out + k * 4;
        f[0] = p[2];
        f[1] = p[1];
        f[2] = p[0];
        f[3] = p[3];
    }
}

void WidenPlain(const uint8_t* in, uint32_t count, int16_t* out) {
    for (uint32_t i = 0; i < count; ++i)
        out[i] = in[i];
}

// Factors i and i + 1 as the multiplier of _mm256_madd_epi16 over (tap i, tap i + 1) pairs.
__attribute__((target("avx2"), always_inline)) inline __m256i FactorPair(const BlurTaps& taps,
                                                                         int32_t i) {
    int32_t pair;
    std::memcpy(&pair, &taps.factor[i], sizeof(pair));
    return _mm256_set1_epi32(pair);
}

// Adds factor pair `weights` times the tap sums `a` (tap i) and `b` (tap i + 1) to the 32-bit
// sums: values 0-3 and 8-11 in sum[0], 4-7 and 12-15 in sum[1] (the unpacks' lane order, which
// the final pack restores).
__attribute__((target("avx2"), always_inline)) inline void MultiplyAdd(__m256i a, __m256i b,
                                                                       __m256i weights,
                                                                       __m256i* sum) {
    sum[0] = _mm256_add_epi32(sum[0], _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), weights));
    sum[1] = _mm256_add_epi32(sum[1], _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), weights));
}

__attribute__((target("avx2"), always_inline)) inline __m256i Scaled(const __m256i* sum) {
    return _mm256_packs_epi32(_mm256_srai_epi32(sum[0], kBlurShift),
                              _mm256_srai_epi32(sum[1], kBlurShift));
}

__attribute__((target("avx2"), always_inline)) inline __m256i Load16(const int16_t* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// Sixteen channel values of rows y and y + 1 (values a `stride` apart), as bytes: those of row y
// at 0-7 and 16-23, of row y + 1 at 8-15 and 24-31 (the pack's order). Tap i of row y pairs rows
// y + i and y - i, of row y + 1 rows y + 1 + i and y + 1 - i, so each tap loads two new rows and
// reuses the two of the tap before; taps go in pairs to the multiply-adds.
__attribute__((target("avx2"), always_inline)) inline __m256i SumPair16(const BlurTaps& taps,
                                                                        const int16_t* at,
                                                                        ptrdiff_t stride) {
    const int32_t r = taps.radius;
    const __m256i half = _mm256_set1_epi32(kBlurScale / 2);
    __m256i upper[2] = {half, half}, lower[2] = {half, half};
    __m256i low = Load16(at), high = Load16(at + stride);
    // Tap i - 1's sums, waiting for tap i's.
    __m256i waitingUpper = _mm256_add_epi16(low, low), waitingLower = _mm256_add_epi16(high, high);
    for (int32_t i = 1;; i += 2) {
        if (i > r) {
            const __m256i zero = _mm256_setzero_si256();
            MultiplyAdd(waitingUpper, zero, FactorPair(taps, i - 1), upper);
            MultiplyAdd(waitingLower, zero, FactorPair(taps, i - 1), lower);
            break;
        }
        __m256i newHigh = Load16(at + (i + 1) * stride), newLow = Load16(at - i * stride);
        const __m256i weights = FactorPair(taps, i - 1);
        MultiplyAdd(waitingUpper, _mm256_add_epi16(high, newLow), weights, upper);
        MultiplyAdd(waitingLower, _mm256_add_epi16(newHigh, low), weights, lower);
        high = newHigh, low = newLow;
        if (i + 1 > r)
            break;
        newHigh = Load16(at + (i + 2) * stride), newLow = Load16(at - (i + 1) * stride);
        waitingUpper = _mm256_add_epi16(high, newLow);
        waitingLower = _mm256_add_epi16(newHigh, low);
        high = newHigh, low = newLow;
    }
    return _mm256_packus_epi16(Scaled(upper), Scaled(lower));
}

__attribute__((target("avx2"))) void VerticalRowsAvx2(const BlurTaps& taps, const int16_t* centre,
                                                      ptrdiff_t stride, uint8_t* out,
                                                      uint8_t* below, uint32_t count) {
    uint32_t j = 0;
    for (; j + 16 <= count; j += 16) {
        // A last row alone is summed in a pair too (the row beyond its apron is in place).
        const __m256i bytes = _mm256_permute4x64_epi64(SumPair16(taps, centre + j, stride), 0xd8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm256_castsi256_si128(bytes));
        if (below)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(below + j),
                             _mm256_extracti128_si256(bytes, 1));
    }
    if (below)
        ConvolveRowPlain(taps, centre + stride + j, stride, below + j, count - j);
    ConvolveRowPlain(taps, centre + j, stride, out + j, count - j);
}

__attribute__((target("avx2"))) void WidenAvx2(const uint8_t* in, uint32_t count, int16_t* out) {
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_cvtepu8_epi16(bytes));
    }
    WidenPlain(in + i, count - i, out + i);
}

// The avx2 horizontal pass runs the vertical pass's paired-row convolution across a row cut into
// four segments laid side by side: position k holds pixel k of every segment (with the segment's
// neighbours as aprons), so each tap is one load per vector and the loads of a tap serve two
// outputs, where a sweep along the row loads two unaligned vectors per tap and output. The last
// segment ends at the row's end, overlapping the one before where the row does not divide by
// four (those pixels are computed twice, alike).
constexpr uint32_t kSegments = 4;
constexpr ptrdiff_t kSegmentStride = kSegments * 4;

uint32_t SegmentLength(uint32_t width) {
    return (width + kSegments - 1) / kSegments;
}

uint32_t SegmentStart(uint32_t s, uint32_t width) {
    return std::min(s * SegmentLength(width), width - SegmentLength(width));
}

// Pixels start .. start + count - 1 of the row, exchanged and widened, at `out`,
// `kSegmentStride` values apart; pixels beyond the row are its end pixels.
__attribute__((target("avx2"))) void WidenSegment(const uint8_t* in, uint32_t width, int32_t start,
                                                  int32_t count, int16_t* out) {
    const __m128i exchange = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    const auto last = static_cast<int32_t>(width) - 1;
    auto one = [&](int32_t k) {
        const uint8_t* p = in + std::clamp(start + k, 0, last) * 4;
        int16_t* f = out + k * kSegmentStride;
        f[0] = p[2], f[1] = p[1], f[2] = p[0], f[3] = p[3];
    };
    int32_t k = 0;
    for (; k < count && start + k < 0; ++k)
        one(k);
    // Four pixels at a time while they lie within the row.
    for (; k + 4 <= count && start + k + 4 <= last + 1; k += 4) {
        const __m128i pixels = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + (start + k) * 4)), exchange);
        const __m256i values = _mm256_cvtepu8_epi16(pixels);
        const __m128i halves[2] = {_mm256_castsi256_si128(values),
                                   _mm256_extracti128_si256(values, 1)};
        int16_t* f = out + k * kSegmentStride;
        for (int h = 0; h < 2; ++h, f += 2 * kSegmentStride) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(f), halves[h]);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(f + kSegmentStride),
                             _mm_unpackhi_epi64(halves[h], halves[h]));
        }
    }
    for (; k < count; ++k)
        one(k);
}

// Positions k and k + 1 of every segment from SumPair16's bytes.
__attribute__((target("avx2"), always_inline)) inline void StorePositions(__m256i bytes,
                                                                          uint8_t* const* segment,
                                                                          uint32_t k, bool both) {
    // Per lane: segment 2h's pixels k and k + 1, then segment 2h + 1's.
    const __m256i order = _mm256_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15, 0,
                                           1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15);
    const __m256i pairs = _mm256_shuffle_epi8(bytes, order);
    const __m128i halves[2] = {_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1)};
    for (uint32_t h = 0; h < 2; ++h) {
        const __m128i second = _mm_unpackhi_epi64(halves[h], halves[h]);
        if (both) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(segment[2 * h] + k * 4), halves[h]);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(segment[2 * h + 1] + k * 4), second);
        } else {
            _mm_storeu_si32(segment[2 * h] + k * 4, halves[h]);
            _mm_storeu_si32(segment[2 * h + 1] + k * 4, second);
        }
    }
}

__attribute__((target("avx2"))) void HorizontalRowAvx2(const BlurTaps& taps, const uint8_t* in,
                                                       uint8_t* out, uint32_t width,
                                                       int16_t* scratch) {
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
    const int16_t* centre = scratch + r * kSegmentStride;
    for (uint32_t k = 0; k < length; k += 2) {
        const __m256i bytes = SumPair16(taps, centre + k * kSegmentStride, kSegmentStride);
        StorePositions(bytes, segment, k, k + 1 < length);
    }
}

void Widen(const uint8_t* in, uint32_t count, int16_t* out) {
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
    // One row more than the band needs: an odd last row is summed in a pair too.
    const uint32_t cachedRows = end - first + 2 * static_cast<uint32_t>(r) + 1;
    const auto storage = std::make_unique_for_overwrite<int16_t[]>(
        static_cast<size_t>(cachedRows) * kStripStride + kLineValues);
    int16_t* const cache = LineAligned(storage.get());
    const BlurVerticalRowFunction row = BlurVerticalRows().row();
    const auto lastRow = static_cast<int32_t>(in.Height()) - 1;
    for (uint32_t x = 0; x < in.Width(); x += kStripPixels) {
        const uint32_t count = std::min(kStripPixels, in.Width() - x) * 4;
        for (uint32_t k = 0; k < cachedRows; ++k) {
            const int32_t y = std::clamp(static_cast<int32_t>(first + k) - r, 0, lastRow);
            Widen(in.Row(static_cast<uint32_t>(y)) + x * 4, count, &cache[k * kStripStride]);
        }
        for (uint32_t y = first; y < end; y += 2) {
            const int16_t* centre = &cache[(y - first + static_cast<uint32_t>(r)) * kStripStride];
            uint8_t* below = y + 1 < end ? out.Row(y + 1) + x * 4 : nullptr;
            row(taps, centre, kStripStride, out.Row(y) + x * 4, below, count);
        }
    }
}

}  // namespace

size_t BlurScratchValues(uint32_t width, int32_t radius) {
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
        taps.factor[0] = kBlurScale / 2;
        return taps;
    }
    const float sigma = static_cast<float>(taps.radius);
    float total = 0;
    for (int32_t i = 0; i <= taps.radius; ++i) {
        taps.weight[i] = std::exp(-static_cast<float>(i * i) / (2.0f * sigma * sigma));
        total += i == 0 ? taps.weight[i] : 2.0f * taps.weight[i];
    }
    // Twice the factors sum to the scale: the centre takes what the others' rounding leaves.
    int32_t rest = kBlurScale / 2;
    for (int32_t i = 0; i <= taps.radius; ++i)
        taps.weight[i] /= total;
    for (int32_t i = 1; i <= taps.radius; ++i) {
        taps.factor[i] = static_cast<int16_t>(std::lrint(taps.weight[i] * kBlurScale));
        rest -= taps.factor[i];
    }
    taps.factor[0] = static_cast<int16_t>(rest);
    return taps;
}

void BlurHorizontalRowPlain(const BlurTaps& taps, const uint8_t* in, uint8_t* out, uint32_t width,
                            int16_t* scratch) {
    WidenExchangedPlain(in, width, taps.radius, scratch);
    ConvolveRowPlain(taps, scratch + taps.radius * 4, 4, out, width * 4);
}

void BlurVerticalRowPlain(const BlurTaps& taps, const int16_t* centre, ptrdiff_t stride,
                          uint8_t* out, uint8_t* below, uint32_t count) {
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
    const auto scratch = std::make_unique_for_overwrite<int16_t[]>(
        BlurScratchValues(in.Width(), taps.radius) + kLineValues);
    const BlurHorizontalRowFunction row = BlurHorizontalRows().row();
    for (uint32_t y = band.first; y < band.end; ++y)
        row(taps, in.Row(y), out.Row(y), in.Width(), LineAligned(scratch.get()));
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
