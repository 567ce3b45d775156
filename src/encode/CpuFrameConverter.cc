#include "encode/CpuFrameConverter.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "shaders/BgraToNv12.h"

namespace tamro {
namespace {

namespace media = platform::media;

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

// What libyuv computes here and what it does not. The stream is tagged BT.709 limited range, and
// the installed libyuv converts from ARGB only with BT.601 limited (ARGBToI420, ARGBToNV12,
// ARGBToYUY2: red gives Y 82, U 90, V 239 where BT.709 gives 63, 102, 240) or BT.601 full range
// (ARGBToJ420: red 77, 85, 255); it has no BT.709 (H-matrix) conversion from ARGB. So both paths
// share the device kernel's BT.709 arithmetic: a flat colour gives the same bytes whichever path
// a frame takes. Nor does libyuv's bilinear scaler compute this path's samples: it samples at
// pixel centres in 16.16 fixed point with rounded fractions, where this path samples at
// (x × sx, y × sy) with float weights, truncated (noise scaled from 160 to 240 wide: 98% of the
// bytes differ). What it does compute is the copy of a picture shown at its own size into RGB32
// or ARGB32 (see CopyOpaque).
uint8_t ToY(const Rgb& c) {
    return shaders::Bt709Luma(c.r, c.g, c.b);
}
// Chroma of the mean of `count` (1 or 2) pixels whose channels are summed in `c`.
uint8_t ToU(const Rgb& c, int count = 1) {
    const int scale = 4 / count;
    return shaders::Bt709ChromaU(c.r * scale, c.g * scale, c.b * scale);
}
uint8_t ToV(const Rgb& c, int count = 1) {
    const int scale = 4 / count;
    return shaders::Bt709ChromaV(c.r * scale, c.g * scale, c.b * scale);
}
uint8_t Byte(int value) {
    return static_cast<uint8_t>(value);
}

// The source and the mapping of content pixels onto it.
class Sampler {
  public:
    // Samples the part of the source the placement shows.
    Sampler(const uint8_t* bgra, uint32_t pitch, const LetterboxPlacement& placement)
        : m_bgra(bgra),
          m_width(placement.sourceWidth),
          m_height(placement.sourceHeight),
          m_pitch(pitch),
          m_scaleX(static_cast<float>(placement.sourceWidth) / static_cast<float>(placement.width)),
          m_scaleY(static_cast<float>(placement.sourceHeight) /
                   static_cast<float>(placement.height)) {}

    // Bilinear sample at content position (x, y), in content pixels.
    Rgb At(float x, float y) const {
        const float sx = std::clamp(x * m_scaleX, 0.0f, static_cast<float>(m_width - 1));
        const float sy = std::clamp(y * m_scaleY, 0.0f, static_cast<float>(m_height - 1));
        const auto x0 = static_cast<uint32_t>(sx);
        const auto y0 = static_cast<uint32_t>(sy);
        const uint32_t x1 = std::min(x0 + 1, m_width - 1);
        const uint32_t y1 = std::min(y0 + 1, m_height - 1);
        const float fx = sx - static_cast<float>(x0);
        const float fy = sy - static_cast<float>(y0);
        const uint8_t* p00 = Pixel(x0, y0);
        const uint8_t* p10 = Pixel(x1, y0);
        const uint8_t* p01 = Pixel(x0, y1);
        const uint8_t* p11 = Pixel(x1, y1);
        auto mix = [&](int channel) {
            return static_cast<int>(p00[channel] * (1 - fx) * (1 - fy) +
                                    p10[channel] * fx * (1 - fy) + p01[channel] * (1 - fx) * fy +
                                    p11[channel] * fx * fy);
        };
        return Rgb{mix(2), mix(1), mix(0)};
    }

  private:
    const uint8_t* Pixel(uint32_t x, uint32_t y) const {
        return m_bgra + static_cast<size_t>(y) * m_pitch + static_cast<size_t>(x) * 4;
    }

    const uint8_t* m_bgra;
    uint32_t m_width;
    uint32_t m_height;
    uint32_t m_pitch;
    float m_scaleX;
    float m_scaleY;
};

struct Frame {
    uint8_t* data;
    uint32_t width;
    uint32_t height;
    LetterboxPlacement placement;
};

// A picture shown at its own size (a crop, not a scale) samples at whole pixels, where the
// bilinear weights are 1, 0, 0, 0: the samples are the source's pixels themselves, which libyuv
// copies; its alpha copy from a row of 255s repeated (stride 0) makes them opaque.
void CopyOpaque(const uint8_t* bgra, uint32_t pitch, const Frame& frame) {
    const LetterboxPlacement& p = frame.placement;
    uint8_t* content = frame.data + (static_cast<size_t>(p.top) * frame.width + p.left) * 4;
    const auto stride = static_cast<int>(frame.width * 4);
    const auto width = static_cast<int>(p.width);
    const auto height = static_cast<int>(p.height);
    libyuv::ARGBCopy(bgra, static_cast<int>(pitch), content, stride, width, height);
    const std::vector<uint8_t> opaque(p.width, 255);
    libyuv::ARGBCopyYToAlpha(opaque.data(), 0, content, stride, width, height);
}

bool ShownAtItsOwnSize(const LetterboxPlacement& p) {
    return p.sourceWidth == p.width && p.sourceHeight == p.height;
}

void ToRgb32(const uint8_t* bgra, uint32_t pitch, const Sampler& sampler, const Frame& frame) {
    std::memset(frame.data, 0, static_cast<size_t>(frame.width) * frame.height * 4);
    const LetterboxPlacement& p = frame.placement;
    if (ShownAtItsOwnSize(p)) {
        CopyOpaque(bgra, pitch, frame);
        return;
    }
    for (uint32_t y = 0; y < p.height; ++y) {
        uint8_t* row = frame.data + (static_cast<size_t>(p.top + y) * frame.width + p.left) * 4;
        for (uint32_t x = 0; x < p.width; ++x) {
            const Rgb c = sampler.At(static_cast<float>(x), static_cast<float>(y));
            row[x * 4 + 0] = Byte(c.b);
            row[x * 4 + 1] = Byte(c.g);
            row[x * 4 + 2] = Byte(c.r);
            row[x * 4 + 3] = 255;
        }
    }
}

void FillLuma(const Sampler& sampler, const Frame& frame) {
    std::memset(frame.data, 16, static_cast<size_t>(frame.width) * frame.height);
    const LetterboxPlacement& p = frame.placement;
    for (uint32_t y = 0; y < p.height; ++y) {
        uint8_t* row = frame.data + static_cast<size_t>(p.top + y) * frame.width + p.left;
        for (uint32_t x = 0; x < p.width; ++x)
            row[x] = ToY(sampler.At(static_cast<float>(x), static_cast<float>(y)));
    }
}

// Chroma of 2x2 block (i, j) of the content, from one sample at the block's centre.
Rgb BlockSample(const Sampler& sampler, uint32_t i, uint32_t j) {
    return sampler.At((2.0f * i + 0.5f), (2.0f * j + 0.5f));
}

// U and V written `step` bytes apart, at planes `u` and `v` of (width / 2) x (height / 2) samples
// whose rows are `rowBytes` apart.
void FillChroma(const Sampler& sampler, const Frame& frame, uint8_t* u, uint8_t* v, uint32_t step,
                uint32_t rowBytes) {
    const LetterboxPlacement& p = frame.placement;
    for (uint32_t j = 0; j < p.height / 2; ++j) {
        const size_t row = static_cast<size_t>(p.top / 2 + j) * rowBytes;
        for (uint32_t i = 0; i < p.width / 2; ++i) {
            const Rgb c = BlockSample(sampler, i, j);
            const size_t at = row + static_cast<size_t>(p.left / 2 + i) * step;
            u[at] = ToU(c);
            v[at] = ToV(c);
        }
    }
}

void ToNv12(const Sampler& sampler, const Frame& frame) {
    FillLuma(sampler, frame);
    uint8_t* chroma = frame.data + static_cast<size_t>(frame.width) * frame.height;
    std::memset(chroma, 128, static_cast<size_t>(frame.width) * frame.height / 2);
    FillChroma(sampler, frame, chroma, chroma + 1, 2, frame.width);
}

void ToPlanar420(const Sampler& sampler, const Frame& frame, bool vFirst) {
    FillLuma(sampler, frame);
    const size_t lumaBytes = static_cast<size_t>(frame.width) * frame.height;
    uint8_t* first = frame.data + lumaBytes;
    uint8_t* second = first + lumaBytes / 4;
    std::memset(first, 128, lumaBytes / 2);
    FillChroma(sampler, frame, vFirst ? second : first, vFirst ? first : second, 1,
               frame.width / 2);
}

void ToYuy2(const Sampler& sampler, const Frame& frame) {
    const size_t rowBytes = static_cast<size_t>(frame.width) * 2;
    for (size_t i = 0; i < rowBytes * frame.height; i += 2) {
        frame.data[i] = 16;
        frame.data[i + 1] = 128;
    }
    const LetterboxPlacement& p = frame.placement;
    const size_t rowStart = p.left > 0 ? ((frame.width - p.width) & ~3u) : 0;
    for (uint32_t y = 0; y < p.height; ++y) {
        uint8_t* row = frame.data + (p.top + y) * rowBytes + rowStart;
        for (uint32_t i = 0; i < p.width / 2; ++i) {
            const Rgb a = sampler.At(2.0f * i, static_cast<float>(y));
            const Rgb b = sampler.At(2.0f * i + 1.0f, static_cast<float>(y));
            const Rgb pair{a.r + b.r, a.g + b.g, a.b + b.b};
            row[i * 4 + 0] = ToY(a);
            row[i * 4 + 1] = ToU(pair, 2);
            row[i * 4 + 2] = ToY(b);
            row[i * 4 + 3] = ToV(pair, 2);
        }
    }
}

}  // namespace

size_t CpuFrameConverter::FrameBytes(const media::Guid& subtype, uint32_t width, uint32_t height) {
    const size_t pixels = static_cast<size_t>(width) * height;
    if (subtype == media::kSubtypeRGB32 || subtype == media::kSubtypeARGB32)
        return pixels * 4;
    if (subtype == media::kSubtypeYUY2)
        return pixels * 2;
    return pixels * 3 / 2;
}

bool CpuFrameConverter::Convert(const uint8_t* bgra, uint32_t width, uint32_t height,
                                uint32_t rowPitch, const media::Guid& subtype, uint32_t outputWidth,
                                uint32_t outputHeight, uint8_t* output) {
    if (!bgra || !output || width == 0 || height == 0 || rowPitch < width * 4 || outputWidth < 2 ||
        outputHeight < 2) {
        return false;
    }
    const LetterboxPlacement placement =
        Letterbox::Fit(width, height, outputWidth & ~1u, outputHeight & ~1u);
    const Sampler sampler(bgra, rowPitch, placement);
    const Frame frame{output, outputWidth, outputHeight, placement};
    if (subtype == media::kSubtypeRGB32 || subtype == media::kSubtypeARGB32)
        ToRgb32(bgra, rowPitch, sampler, frame);
    else if (subtype == media::kSubtypeNV12)
        ToNv12(sampler, frame);
    else if (subtype == media::kSubtypeIYUV || subtype == media::kSubtypeYV12)
        ToPlanar420(sampler, frame, subtype == media::kSubtypeYV12);
    else if (subtype == media::kSubtypeYUY2)
        ToYuy2(sampler, frame);
    else
        return false;
    return true;
}

}  // namespace tamro
