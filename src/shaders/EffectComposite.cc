#include "shaders/EffectComposite.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

// Every variant must give the reference's bytes, so both do the same IEEE operations in the same
// order: this file is built with -ffp-contract=off, so that no multiply-add is fused in one and
// not in the other.

namespace tamro::shaders {

struct MaskColumns {
    // Per output column: the two mask columns and the weight of the second; inside is all ones
    // where the column falls inside the mask (0 <= p <= maskWidth - 1).
    std::vector<int32_t> first, second, inside;
    std::vector<float> weight;
    // Per block of eight columns, for sampling without gathers: the mask columns the block's
    // first and second texels start at (-1 where they span more than eight), and per column its
    // texels' places within those eight.
    std::vector<int32_t> firstBase, secondBase;
    std::vector<int32_t> firstLane, secondLane;
};

namespace {

constexpr float kEdgeLow = 0.02f;
constexpr float kEdgeHigh = 0.98f;

bool IsPixelFormat(const gfx::Texture& texture) {
    const gfx::Format format = texture.Desc().format;
    return format == gfx::Format::kBGRA8 || format == gfx::Format::kRGBA8;
}

bool ValidArgs(const gfx::KernelArgs& args) {
    if (args.inputs.size() != 3 || args.outputs.size() != 1 || !args.constants ||
        args.constantsSize != sizeof(CompositeConstants))
        return false;
    for (const gfx::Texture* texture : {args.inputs[0], args.inputs[1], args.inputs[2]}) {
        if (!texture)
            return false;
    }
    const gfx::Texture* out = args.outputs[0];
    const gfx::Texture& foreground = *args.inputs[0];
    const gfx::Texture& background = *args.inputs[1];
    const gfx::Texture& mask = *args.inputs[2];
    return out && IsPixelFormat(*out) && IsPixelFormat(foreground) && IsPixelFormat(background) &&
           mask.Desc().format == gfx::Format::kR32F && mask.Width() > 0 && mask.Height() > 0 &&
           foreground.Width() == out->Width() && foreground.Height() == out->Height() &&
           background.Width() == out->Width() && background.Height() == out->Height();
}

// Where coordinate `p` samples an axis of `size` texels: the texel at or before it, the next one
// (clamped to the last), the weight of the next; false outside 0..size - 1.
struct AxisSample {
    int32_t first = 0, second = 0;
    float weight = 0;
    bool inside = false;
};

AxisSample SampleAt(float p, uint32_t size) {
    const auto last = static_cast<float>(size - 1);
    if (!(p >= 0.0f && p <= last))
        return {};
    const float at = std::floor(p);
    const auto first = static_cast<int32_t>(at);
    return {first, std::min(first + 1, static_cast<int32_t>(size) - 1), p - at, true};
}

float Position(uint32_t pixel, float scale, float offset) {
    return static_cast<float>(pixel) * scale + offset;
}

// Where each block of eight columns finds its texels among eight consecutive ones from a base;
// columns outside the mask read lane 0 and are masked off later.
void Blocks(const std::vector<int32_t>& texel, const std::vector<int32_t>& inside,
            std::vector<int32_t>* base, std::vector<int32_t>* lane) {
    lane->assign(texel.size(), 0);
    for (size_t x = 0; x + 8 <= texel.size(); x += 8) {
        int32_t low = INT32_MAX, high = -1;
        for (size_t i = x; i < x + 8; ++i) {
            if (inside[i])
                low = std::min(low, texel[i]), high = std::max(high, texel[i]);
        }
        const bool fits = high < 0 || high - low < 8;
        base->push_back(!fits ? -1 : high < 0 ? 0 : low);
        for (size_t i = x; fits && i < x + 8; ++i)
            (*lane)[i] = inside[i] ? texel[i] - low : 0;
    }
}

MaskColumns ColumnsOf(const CompositeConstants& k, uint32_t width, uint32_t maskWidth) {
    MaskColumns columns;
    for (uint32_t x = 0; x < width; ++x) {
        const AxisSample s = SampleAt(Position(x, k.maskScale, k.maskOffsetX), maskWidth);
        columns.first.push_back(s.first);
        columns.second.push_back(s.second);
        columns.weight.push_back(s.weight);
        columns.inside.push_back(s.inside ? -1 : 0);
    }
    Blocks(columns.first, columns.inside, &columns.firstBase, &columns.firstLane);
    Blocks(columns.second, columns.inside, &columns.secondBase, &columns.secondLane);
    return columns;
}

// The mask between rows first and second of it at `weight`, for every mask column.
void InterpolateRows(const gfx::Texture& mask, const AxisSample& s, float* out) {
    const auto* a = reinterpret_cast<const float*>(mask.Row(static_cast<uint32_t>(s.first)));
    const auto* b = reinterpret_cast<const float*>(mask.Row(static_cast<uint32_t>(s.second)));
    for (uint32_t x = 0; x < mask.Width(); ++x)
        out[x] = a[x] + s.weight * (b[x] - a[x]);
}

constexpr float Unit(float v) {
    return std::min(std::max(v, 0.0f), 1.0f);
}

constexpr float Blend(float m) {
    const float t = Unit((Unit(m) - kEdgeLow) / (kEdgeHigh - kEdgeLow));
    return t * t * (3.0f - 2.0f * t);
}

// The blend is exactly 0 at and below the low edge and exactly 1 at and above the high one (it
// is monotonic), and then the lerp gives the background's or the foreground's bytes exactly
// (b + 0 x d = b, b + 1 x (f - b) = f for bytes), so the variants may copy those pixels.
static_assert(Blend(kEdgeLow) == 0.0f && Blend(kEdgeHigh) == 1.0f);

uint8_t ToByte(float v) {
    return static_cast<uint8_t>(std::clamp<long>(std::lrint(v), 0, 255));
}

// The reference's pixels [first, end) of a row.
void CompositePixels(const MaskColumns& columns, const float* maskRow, const uint8_t* foreground,
                     const uint8_t* background, uint8_t* out, uint32_t first, uint32_t end,
                     bool exchanged) {
    for (uint32_t x = first; x < end; ++x) {
        float m = 0.0f;
        if (maskRow && columns.inside[x]) {
            const float left = maskRow[columns.first[x]];
            const float right = maskRow[columns.second[x]];
            m = left + columns.weight[x] * (right - left);
        }
        const float blend = Blend(m);
        const uint8_t* f = foreground + static_cast<size_t>(x) * 4;
        const uint8_t* b = background + static_cast<size_t>(x) * 4;
        for (int c = 0; c < 4; ++c) {
            const float back = b[exchanged && c != 1 && c != 3 ? 2 - c : c];
            out[static_cast<size_t>(x) * 4 + c] =
                ToByte(back + blend * (static_cast<float>(f[c]) - back));
        }
    }
}

// Eight pixels at a time, the reference's operations on eight lanes.

using Vec = __m256;

__attribute__((target("avx2"))) Vec Set(float v) {
    return _mm256_set1_ps(v);
}

// std::max(v, low) and std::min(v, high) as the reference chooses on ties and NaN.
__attribute__((target("avx2"))) Vec Unit8(Vec v) {
    return _mm256_min_ps(Set(1.0f), _mm256_max_ps(_mm256_setzero_ps(), v));
}

__attribute__((target("avx2"))) Vec Blend8(Vec m) {
    const Vec t =
        Unit8(_mm256_div_ps(_mm256_sub_ps(Unit8(m), Set(kEdgeLow)), Set(kEdgeHigh - kEdgeLow)));
    return _mm256_mul_ps(_mm256_mul_ps(t, t),
                         _mm256_sub_ps(Set(3.0f), _mm256_mul_ps(Set(2.0f), t)));
}

__attribute__((target("avx2"))) Vec Channel(__m256i pixels, int c) {
    return _mm256_cvtepi32_ps(
        _mm256_and_si256(_mm256_srli_epi32(pixels, c * 8), _mm256_set1_epi32(0xFF)));
}

__attribute__((target("avx2"))) __m256i Lanes(const std::vector<int32_t>& lane, uint32_t x) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lane.data() + x));
}

// The mask at eight columns: two unaligned loads and permutes where the block's texels lie
// within eight of each other (always when the frame is at least as wide as the mask), the
// reference per lane otherwise. maskRow has eight readable floats past its end.
__attribute__((target("avx2"))) Vec Mask8(const MaskColumns& columns, const float* maskRow,
                                          uint32_t x) {
    const int32_t firstBase = columns.firstBase[x / 8];
    const int32_t secondBase = columns.secondBase[x / 8];
    if (firstBase < 0 || secondBase < 0) {
        alignas(32) float m[8];
        for (uint32_t i = 0; i < 8; ++i) {
            const uint32_t c = x + i;
            m[i] = 0.0f;
            if (columns.inside[c]) {
                const float left = maskRow[columns.first[c]];
                m[i] = left + columns.weight[c] * (maskRow[columns.second[c]] - left);
            }
        }
        return _mm256_load_ps(m);
    }
    const Vec left =
        _mm256_permutevar8x32_ps(_mm256_loadu_ps(maskRow + firstBase), Lanes(columns.firstLane, x));
    const Vec right = _mm256_permutevar8x32_ps(_mm256_loadu_ps(maskRow + secondBase),
                                               Lanes(columns.secondLane, x));
    const Vec inside = _mm256_castsi256_ps(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns.inside.data() + x)));
    const Vec weight = _mm256_loadu_ps(columns.weight.data() + x);
    const Vec m = _mm256_add_ps(left, _mm256_mul_ps(weight, _mm256_sub_ps(right, left)));
    return _mm256_and_ps(m, inside);
}

__attribute__((target("avx2"))) __m256i Exchanged(__m256i pixels) {
    return _mm256_shuffle_epi8(
        pixels, _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3,
                                 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15));
}

__attribute__((target("avx2"))) void Composite8(Vec blend, const uint8_t* foreground,
                                                const uint8_t* background, uint8_t* out,
                                                bool exchanged) {
    const __m256i front = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(foreground));
    __m256i back = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(background));
    if (exchanged)
        back = Exchanged(back);
    __m256i result = _mm256_setzero_si256();
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
        const Vec b = Channel(back, c);
        const Vec mixed =
            _mm256_add_ps(b, _mm256_mul_ps(blend, _mm256_sub_ps(Channel(front, c), b)));
        const __m256i byte =
            _mm256_min_epi32(_mm256_max_epi32(_mm256_cvtps_epi32(mixed), _mm256_setzero_si256()),
                             _mm256_set1_epi32(255));
        result = _mm256_or_si256(result, _mm256_slli_epi32(byte, c * 8));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), result);
}

// Eight pixels of the background (read as the reference reads it) or of the foreground.
__attribute__((target("avx2"))) void Copy8(const uint8_t* from, uint8_t* out, bool exchanged) {
    __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    if (exchanged)
        pixels = Exchanged(pixels);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), pixels);
}

// Most of a frame is all background or all person: blocks whose eight blends are all exactly 0
// or all exactly 1 are copied, only the edge between them is blended. NaN counts as neither.
__attribute__((target("avx2"))) void RowAvx2(const MaskColumns& columns, const float* maskRow,
                                             const uint8_t* foreground, const uint8_t* background,
                                             uint8_t* out, uint32_t width, bool exchanged) {
    uint32_t x = 0;
    if (!maskRow) {
        for (; x + 8 <= width; x += 8)
            Copy8(background + size_t{x} * 4, out + size_t{x} * 4, exchanged);
    }
    for (; x + 8 <= width; x += 8) {
        const size_t at = static_cast<size_t>(x) * 4;
        const Vec m = Mask8(columns, maskRow, x);
        if (_mm256_movemask_ps(_mm256_cmp_ps(m, Set(kEdgeLow), _CMP_LE_OQ)) == 0xFF)
            Copy8(background + at, out + at, exchanged);
        else if (_mm256_movemask_ps(_mm256_cmp_ps(m, Set(kEdgeHigh), _CMP_GE_OQ)) == 0xFF)
            Copy8(foreground + at, out + at, false);
        else
            Composite8(Blend8(m), foreground + at, background + at, out + at, exchanged);
    }
    CompositePixels(columns, maskRow, foreground, background, out, x, width, exchanged);
}

}  // namespace

void MaskCompositeRowPlain(const MaskColumns& columns, const float* maskRow,
                           const uint8_t* foreground, const uint8_t* background, uint8_t* out,
                           uint32_t width, bool exchanged) {
    CompositePixels(columns, maskRow, foreground, background, out, 0, width, exchanged);
}

RowSelection<MaskCompositeRowFunction>& MaskCompositeRows() {
    static constexpr RowVariant<MaskCompositeRowFunction> kVariants[] = {
        {"plain", kCpuPlain, MaskCompositeRowPlain},
        {"avx2", kCpuAvx2, RowAvx2},
    };
    static RowSelection<MaskCompositeRowFunction> selection(kVariants);
    return selection;
}

uint32_t EffectMaskCompositeRows(const gfx::KernelArgs& args) {
    return ValidArgs(args) ? args.outputs[0]->Height() : 0;
}

int32_t EffectMaskComposite(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidArgs(args) || band.first > band.end || band.end > args.outputs[0]->Height())
        return kInvalidArg;
    if (band.first == band.end)
        return kOk;
    CompositeConstants k;
    std::memcpy(&k, args.constants, sizeof(k));
    const gfx::Texture& mask = *args.inputs[2];
    const gfx::Texture& out = *args.outputs[0];
    const MaskColumns columns = ColumnsOf(k, out.Width(), mask.Width());
    std::vector<float> maskRow(mask.Width() + 8);  // the variants' loads may run past the end
    const MaskCompositeRowFunction row = MaskCompositeRows().row();
    const bool exchanged = k.backgroundExchanged > 0.5f;
    for (uint32_t y = band.first; y < band.end; ++y) {
        const AxisSample s = SampleAt(Position(y, k.maskScale, k.maskOffsetY), mask.Height());
        if (s.inside)
            InterpolateRows(mask, s, maskRow.data());
        row(columns, s.inside ? maskRow.data() : nullptr, args.inputs[0]->Row(y),
            args.inputs[1]->Row(y), out.Row(y), out.Width(), exchanged);
    }
    return kOk;
}

}  // namespace tamro::shaders
