#include "shaders/EffectFill.h"

#include <immintrin.h>
#include <libyuv.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

// The image cover's variants must give the reference's bytes, so both do the same IEEE
// operations in the same order: this file is built with -ffp-contract=off.

namespace tamro::shaders {

struct CoverColumns {
    // Per output column: the two picture columns and the weight of the second.
    std::vector<int32_t> first, second;
    std::vector<float> weight;
};

namespace {

using Pixel = std::array<uint8_t, 4>;

bool IsPixelFormat(const gfx::Texture* texture) {
    if (!texture)
        return false;
    const gfx::Format format = texture->Desc().format;
    return format == gfx::Format::kBGRA8 || format == gfx::Format::kRGBA8;
}

bool ValidBand(const gfx::KernelArgs& args, gfx::RowBand band) {
    return band.first <= band.end && band.end <= args.outputs[0]->Height();
}

template <typename Constants>
bool ValidFill(const gfx::KernelArgs& args) {
    return args.inputs.empty() && args.outputs.size() == 1 && IsPixelFormat(args.outputs[0]) &&
           args.constants && args.constantsSize == sizeof(Constants);
}

template <typename Constants>
Constants ConstantsOf(const gfx::KernelArgs& args) {
    Constants k;
    std::memcpy(&k, args.constants, sizeof(k));
    return k;
}

bool ValidSwap(const gfx::KernelArgs& args) {
    return args.inputs.size() == 1 && args.outputs.size() == 1 && IsPixelFormat(args.inputs[0]) &&
           IsPixelFormat(args.outputs[0]) && args.inputs[0]->Width() == args.outputs[0]->Width() &&
           args.inputs[0]->Height() == args.outputs[0]->Height();
}

bool ValidCover(const gfx::KernelArgs& args) {
    return args.inputs.size() == 1 && args.outputs.size() == 1 && IsPixelFormat(args.inputs[0]) &&
           IsPixelFormat(args.outputs[0]) && args.inputs[0]->Width() > 0 &&
           args.inputs[0]->Height() > 0 && args.constants &&
           args.constantsSize == sizeof(ImageCoverConstants);
}

uint8_t ToByte(float v) {
    return static_cast<uint8_t>(std::clamp<long>(std::lrint(v), 0, 255));
}

uint8_t UnitToByte(float v) {
    return ToByte(std::min(std::max(v, 0.0f), 1.0f) * 255.0f);
}

Pixel InOrder(const float rgba[4], gfx::Format format) {
    const Pixel bytes{UnitToByte(rgba[0]), UnitToByte(rgba[1]), UnitToByte(rgba[2]),
                      UnitToByte(rgba[3])};
    return format == gfx::Format::kRGBA8 ? bytes : Pixel{bytes[2], bytes[1], bytes[0], bytes[3]};
}

void FillRows(const gfx::Texture& out, uint32_t first, uint32_t end, const Pixel& pixel) {
    uint32_t value;
    std::memcpy(&value, pixel.data(), 4);
    libyuv::ARGBRect(out.Data(), static_cast<int>(out.RowPitch()), 0, static_cast<int>(first),
                     static_cast<int>(out.Width()), static_cast<int>(end - first), value);
}

// Where coordinate `p` (in texels) samples an axis of `size` texels: clamped to it.
struct AxisSample {
    int32_t first = 0, second = 0;
    float weight = 0;
};

AxisSample SampleAt(float p, int32_t size) {
    const float at = std::floor(p);
    const auto first = static_cast<int32_t>(at);
    return {std::clamp(first, 0, size - 1), std::clamp(first + 1, 0, size - 1), p - at};
}

struct CoverPlacement {
    float scale, offsetX, offsetY;
};

CoverPlacement PlacementOf(const ImageCoverConstants& k) {
    const float scale = std::max(k.destWidth / k.srcWidth, k.destHeight / k.srcHeight);
    return {scale, (k.srcWidth * scale - k.destWidth) / 2.0f,
            (k.srcHeight * scale - k.destHeight) / 2.0f};
}

// Output pixel `pixel`'s sample of an axis of the picture, `source` texels long by the
// constants and `size` texels in fact.
AxisSample CoverSample(uint32_t pixel, float offset, float scale, float source, int32_t size) {
    const float src = (static_cast<float>(pixel) + offset) / scale;
    return SampleAt(src / source * (source - 1.0f), size);
}

CoverColumns ColumnsOf(const ImageCoverConstants& k, const CoverPlacement& place, uint32_t width,
                       int32_t pictureWidth) {
    CoverColumns columns;
    for (uint32_t x = 0; x < width; ++x) {
        const AxisSample s = CoverSample(x, place.offsetX, place.scale, k.srcWidth, pictureWidth);
        columns.first.push_back(s.first);
        columns.second.push_back(s.second);
        columns.weight.push_back(s.weight);
    }
    return columns;
}

void CoverPixels(const CoverColumns& columns, const uint8_t* top, const uint8_t* bottom,
                 float weight, uint8_t* out, uint32_t first, uint32_t end, bool exchange) {
    for (uint32_t x = first; x < end; ++x) {
        const size_t a = static_cast<size_t>(columns.first[x]) * 4;
        const size_t b = static_cast<size_t>(columns.second[x]) * 4;
        const float w = columns.weight[x];
        for (int c = 0; c < 4; ++c) {
            const int s = exchange && c != 1 && c != 3 ? 2 - c : c;
            const float t0 = top[a + s], t1 = top[b + s];
            const float b0 = bottom[a + s], b1 = bottom[b + s];
            const float upper = t0 + w * (t1 - t0);
            const float lower = b0 + w * (b1 - b0);
            out[static_cast<size_t>(x) * 4 + c] = ToByte(upper + weight * (lower - upper));
        }
    }
}

// The same on eight pixels at a time; the picture's texels are gathered.

using Vec = __m256;

__attribute__((target("avx2"))) Vec Channel(__m256i pixels, int c) {
    return _mm256_cvtepi32_ps(
        _mm256_and_si256(_mm256_srli_epi32(pixels, c * 8), _mm256_set1_epi32(0xFF)));
}

__attribute__((target("avx2"))) Vec Lerp(Vec a, Vec b, Vec w) {
    return _mm256_add_ps(a, _mm256_mul_ps(w, _mm256_sub_ps(b, a)));
}

__attribute__((target("avx2"))) __m256i Gather(const uint8_t* row, __m256i index, bool exchange) {
    const __m256i pixels = _mm256_i32gather_epi32(reinterpret_cast<const int*>(row), index, 4);
    if (!exchange)
        return pixels;
    return _mm256_shuffle_epi8(
        pixels, _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3,
                                 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15));
}

__attribute__((target("avx2"))) void Cover8(const CoverColumns& columns, const uint8_t* top,
                                            const uint8_t* bottom, Vec weight, uint8_t* out,
                                            uint32_t x, bool exchange) {
    const __m256i first =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns.first.data() + x));
    const __m256i second =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns.second.data() + x));
    const Vec w = _mm256_loadu_ps(columns.weight.data() + x);
    const __m256i t0 = Gather(top, first, exchange), t1 = Gather(top, second, exchange);
    const __m256i b0 = Gather(bottom, first, exchange), b1 = Gather(bottom, second, exchange);
    __m256i result = _mm256_setzero_si256();
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
        const Vec upper = Lerp(Channel(t0, c), Channel(t1, c), w);
        const Vec lower = Lerp(Channel(b0, c), Channel(b1, c), w);
        const __m256i byte =
            _mm256_min_epi32(_mm256_max_epi32(_mm256_cvtps_epi32(Lerp(upper, lower, weight)),
                                              _mm256_setzero_si256()),
                             _mm256_set1_epi32(255));
        result = _mm256_or_si256(result, _mm256_slli_epi32(byte, c * 8));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + static_cast<size_t>(x) * 4), result);
}

__attribute__((target("avx2"))) void CoverRowAvx2(const CoverColumns& columns, const uint8_t* top,
                                                  const uint8_t* bottom, float weight, uint8_t* out,
                                                  uint32_t width, bool exchange) {
    const Vec w = _mm256_set1_ps(weight);
    uint32_t x = 0;
    for (; x + 8 <= width; x += 8)
        Cover8(columns, top, bottom, w, out, x, exchange);
    CoverPixels(columns, top, bottom, weight, out, x, width, exchange);
}

}  // namespace

uint32_t EffectChannelSwapRows(const gfx::KernelArgs& args) {
    return ValidSwap(args) ? args.outputs[0]->Height() : 0;
}

// libyuv's ARGB to ABGR is exactly the exchange of bytes 0 and 2.
int32_t EffectChannelSwap(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidSwap(args) || !ValidBand(args, band))
        return kInvalidArg;
    if (band.first == band.end)
        return kOk;
    const gfx::Texture& in = *args.inputs[0];
    const gfx::Texture& out = *args.outputs[0];
    libyuv::ARGBToABGR(in.Row(band.first), static_cast<int>(in.RowPitch()), out.Row(band.first),
                       static_cast<int>(out.RowPitch()), static_cast<int>(out.Width()),
                       static_cast<int>(band.end - band.first));
    return kOk;
}

uint32_t EffectColorFillRows(const gfx::KernelArgs& args) {
    return ValidFill<FillColorConstants>(args) ? args.outputs[0]->Height() : 0;
}

int32_t EffectColorFill(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidFill<FillColorConstants>(args) || !ValidBand(args, band))
        return kInvalidArg;
    if (band.first == band.end)
        return kOk;
    const gfx::Texture& out = *args.outputs[0];
    FillRows(out, band.first, band.end,
             InOrder(ConstantsOf<FillColorConstants>(args).color, out.Desc().format));
    return kOk;
}

uint32_t EffectGradientFillRows(const gfx::KernelArgs& args) {
    return ValidFill<GradientConstants>(args) ? args.outputs[0]->Height() : 0;
}

int32_t EffectGradientFill(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidFill<GradientConstants>(args) || !ValidBand(args, band))
        return kInvalidArg;
    const auto k = ConstantsOf<GradientConstants>(args);
    const gfx::Texture& out = *args.outputs[0];
    for (uint32_t y = band.first; y < band.end; ++y) {
        const float t = static_cast<float>(y) / static_cast<float>(out.Height());
        float colour[4];
        for (int c = 0; c < 4; ++c)
            colour[c] = k.start[c] + t * (k.end[c] - k.start[c]);
        FillRows(out, y, y + 1, InOrder(colour, out.Desc().format));
    }
    return kOk;
}

void ImageCoverRowPlain(const CoverColumns& columns, const uint8_t* top, const uint8_t* bottom,
                        float weight, uint8_t* out, uint32_t width, bool exchange) {
    CoverPixels(columns, top, bottom, weight, out, 0, width, exchange);
}

RowSelection<ImageCoverRowFunction>& ImageCoverRows() {
    static constexpr RowVariant<ImageCoverRowFunction> kVariants[] = {
        {"plain", kCpuPlain, ImageCoverRowPlain},
        {"avx2", kCpuAvx2, CoverRowAvx2},
    };
    static RowSelection<ImageCoverRowFunction> selection(kVariants);
    return selection;
}

uint32_t EffectImageCoverRows(const gfx::KernelArgs& args) {
    return ValidCover(args) ? args.outputs[0]->Height() : 0;
}

int32_t EffectImageCover(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidCover(args) || !ValidBand(args, band))
        return kInvalidArg;
    if (band.first == band.end)
        return kOk;
    const auto k = ConstantsOf<ImageCoverConstants>(args);
    const gfx::Texture& picture = *args.inputs[0];
    const gfx::Texture& out = *args.outputs[0];
    const CoverPlacement place = PlacementOf(k);
    const CoverColumns columns =
        ColumnsOf(k, place, out.Width(), static_cast<int32_t>(picture.Width()));
    const ImageCoverRowFunction row = ImageCoverRows().row();
    const bool exchange = picture.Desc().format != out.Desc().format;
    for (uint32_t y = band.first; y < band.end; ++y) {
        const AxisSample s = CoverSample(y, place.offsetY, place.scale, k.srcHeight,
                                         static_cast<int32_t>(picture.Height()));
        row(columns, picture.Row(static_cast<uint32_t>(s.first)),
            picture.Row(static_cast<uint32_t>(s.second)), s.weight, out.Row(y), out.Width(),
            exchange);
    }
    return kOk;
}

}  // namespace tamro::shaders
