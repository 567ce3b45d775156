#include "encode/CpuFrameConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tamro {
namespace {

namespace media = platform::media;

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

int ToY(const Rgb& c) {
    return ((66 * c.r + 129 * c.g + 25 * c.b + 128) >> 8) + 16;
}
int ToU(const Rgb& c) {
    return ((-38 * c.r - 74 * c.g + 112 * c.b + 128) >> 8) + 128;
}
int ToV(const Rgb& c) {
    return ((112 * c.r - 94 * c.g - 18 * c.b + 128) >> 8) + 128;
}
uint8_t Byte(int value) {
    return static_cast<uint8_t>(value);
}

// The source and the mapping of content pixels onto it.
class Sampler {
  public:
    Sampler(const uint8_t* bgra, uint32_t width, uint32_t height, uint32_t pitch,
            const ContentPlacement& placement)
        : m_bgra(bgra),
          m_width(width),
          m_height(height),
          m_pitch(pitch),
          m_scaleX(static_cast<float>(width) / static_cast<float>(placement.width)),
          m_scaleY(static_cast<float>(height) / static_cast<float>(placement.height)) {}

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
    ContentPlacement placement;
};

void ToRgb32(const Sampler& sampler, const Frame& frame) {
    std::memset(frame.data, 0, static_cast<size_t>(frame.width) * frame.height * 4);
    const ContentPlacement& p = frame.placement;
    for (uint32_t y = 0; y < p.height; ++y) {
        uint8_t* row =
            frame.data + (static_cast<size_t>(p.offsetY + y) * frame.width + p.offsetX) * 4;
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
    const ContentPlacement& p = frame.placement;
    for (uint32_t y = 0; y < p.height; ++y) {
        uint8_t* row = frame.data + static_cast<size_t>(p.offsetY + y) * frame.width + p.offsetX;
        for (uint32_t x = 0; x < p.width; ++x)
            row[x] = Byte(ToY(sampler.At(static_cast<float>(x), static_cast<float>(y))));
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
    const ContentPlacement& p = frame.placement;
    for (uint32_t j = 0; j < p.height / 2; ++j) {
        const size_t row = static_cast<size_t>(p.offsetY / 2 + j) * rowBytes;
        for (uint32_t i = 0; i < p.width / 2; ++i) {
            const Rgb c = BlockSample(sampler, i, j);
            const size_t at = row + static_cast<size_t>(p.offsetX / 2 + i) * step;
            u[at] = Byte(ToU(c));
            v[at] = Byte(ToV(c));
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
    const ContentPlacement& p = frame.placement;
    const size_t rowStart = p.offsetX > 0 ? ((frame.width - p.width) & ~3u) : 0;
    for (uint32_t y = 0; y < p.height; ++y) {
        uint8_t* row = frame.data + (p.offsetY + y) * rowBytes + rowStart;
        for (uint32_t i = 0; i < p.width / 2; ++i) {
            const Rgb a = sampler.At(2.0f * i, static_cast<float>(y));
            const Rgb b = sampler.At(2.0f * i + 1.0f, static_cast<float>(y));
            const Rgb mean{(a.r + b.r) / 2, (a.g + b.g) / 2, (a.b + b.b) / 2};
            row[i * 4 + 0] = Byte(ToY(a));
            row[i * 4 + 1] = Byte(ToU(mean));
            row[i * 4 + 2] = Byte(ToY(b));
            row[i * 4 + 3] = Byte(ToV(mean));
        }
    }
}

uint32_t EvenDown(uint32_t value) {
    return value & ~1u;
}

}  // namespace

ContentPlacement CpuFrameConverter::Fit(uint32_t sourceWidth, uint32_t sourceHeight,
                                        uint32_t outputWidth, uint32_t outputHeight) {
    const float aspect = static_cast<float>(sourceWidth) / static_cast<float>(sourceHeight);
    ContentPlacement p;
    if (aspect > static_cast<float>(outputWidth) / static_cast<float>(outputHeight)) {
        p.width = outputWidth;
        p.height = static_cast<uint32_t>(static_cast<float>(outputWidth) / aspect);
        p.offsetY = (outputHeight - p.height) / 2;
    } else {
        p.height = outputHeight;
        p.width = static_cast<uint32_t>(static_cast<float>(outputHeight) * aspect);
        p.offsetX = (outputWidth - p.width) / 2;
    }
    return {EvenDown(p.width), EvenDown(p.height), EvenDown(p.offsetX), EvenDown(p.offsetY)};
}

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
    const ContentPlacement placement = Fit(width, height, outputWidth, outputHeight);
    // A sliver too thin to show leaves the frame all border.
    const ContentPlacement shown =
        placement.width == 0 || placement.height == 0 ? ContentPlacement{} : placement;
    const Sampler sampler(bgra, width, height, rowPitch,
                          shown.width ? shown : ContentPlacement{width, height, 0, 0});
    const Frame frame{output, outputWidth, outputHeight, shown};
    if (subtype == media::kSubtypeRGB32 || subtype == media::kSubtypeARGB32)
        ToRgb32(sampler, frame);
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
