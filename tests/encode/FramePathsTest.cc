#include <gtest/gtest.h>
#include <stdlib.h>

#include <tuple>
#include <vector>

#include "encode/ColorConverter.h"
#include "encode/CpuFrameConverter.h"
#include "encode/GpuScaler.h"
#include "encode/Letterbox.h"
#include "support/FrameTextures.h"
#include "support/LogCapture.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

namespace media = platform::media;
using test::Bgra;

std::vector<uint8_t> SolidPixels(uint32_t width, uint32_t height, Bgra colour, uint32_t pitch = 0) {
    pitch = pitch ? pitch : width * 4;
    std::vector<uint8_t> pixels(static_cast<size_t>(pitch) * height, 0xEE);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = &pixels[y * pitch + x * 4];
            p[0] = colour.b, p[1] = colour.g, p[2] = colour.r, p[3] = colour.a;
        }
    }
    return pixels;
}

std::vector<uint8_t> Convert(const std::vector<uint8_t>& bgra, uint32_t width, uint32_t height,
                             uint32_t pitch, const media::Guid& subtype, uint32_t outWidth,
                             uint32_t outHeight) {
    std::vector<uint8_t> out(CpuFrameConverter::FrameBytes(subtype, outWidth, outHeight));
    EXPECT_TRUE(CpuFrameConverter::Convert(bgra.data(), width, height, pitch, subtype, outWidth,
                                           outHeight, out.data()));
    return out;
}

struct FitCase {
    const char* name;
    uint32_t sourceWidth, sourceHeight, outputWidth, outputHeight;
    LetterboxPlacement placement;
};

class LetterboxTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(LetterboxTest, KeepsTheAspectOnEvenPixels) {
    const FitCase& c = GetParam();
    EXPECT_EQ(Letterbox::Fit(c.sourceWidth, c.sourceHeight, c.outputWidth, c.outputHeight),
              c.placement);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LetterboxTest,
    ::testing::Values(
        FitCase{
            "FourByThreeIntoSixteenByNine", 640, 480, 1920, 1080, {640, 480, 240, 0, 1440, 1080}},
        FitCase{"SameAspect", 2560, 1440, 1280, 720, {2560, 1440, 0, 0, 1280, 720}},
        // An odd bar width rounds the offset down to even.
        FitCase{"OddBar", 4, 3, 162, 90, {4, 3, 20, 0, 120, 90}},
        // A window resized while recording into its first size: taller, then wider.
        FitCase{"ResizedTaller", 800, 900, 1000, 600, {800, 900, 234, 0, 532, 600}},
        FitCase{"ResizedWider", 1600, 400, 1000, 600, {1600, 400, 0, 174, 1000, 250}},
        // An odd capture into its even output loses its last column and row, unscaled.
        FitCase{"OddSizeCropped", 1001, 601, 1000, 600, {1000, 600, 0, 0, 1000, 600}},
        // Bars that would be a single pixel are a rounding step, not a letterbox.
        FitCase{"NoHairlineBars", 1001, 601, 500, 300, {1001, 601, 0, 0, 500, 300}}),
    [](const auto& info) { return info.param.name; });

TEST(CpuFrameConverterTest, RowPitchWiderThanTheRowIsHonoured) {
    // The padding bytes (0xEE) would show as a bright stripe if the pitch were ignored.
    const auto red = SolidPixels(62, 40, {0, 0, 255, 255}, 320);
    const auto nv12 = Convert(red, 62, 40, 320, media::kSubtypeNV12, 62, 40);
    for (uint32_t y = 0; y < 40; ++y)
        ASSERT_EQ(nv12[y * 62 + 61], 63) << y;  // BT.709 red
}

// A picture shown at its own size is copied: RGB32 holds the source's pixels, made opaque, from
// rows further apart than their pixels.
TEST(CpuFrameConverterTest, AnUnscaledPictureIsCopiedOpaque) {
    constexpr uint32_t kWidth = 37, kHeight = 9, kPitch = kWidth * 4 + 12;
    std::vector<uint8_t> bgra(kPitch * kHeight);
    for (size_t i = 0; i < bgra.size(); ++i)
        bgra[i] = static_cast<uint8_t>(i * 37 + (i >> 5));
    const auto out = Convert(bgra, kWidth, kHeight, kPitch, media::kSubtypeARGB32, 36, 8);
    for (uint32_t y = 0; y < 8; ++y) {
        for (uint32_t x = 0; x < 36; ++x) {
            const uint8_t* source = &bgra[y * kPitch + x * 4];
            const std::vector<uint8_t> expected{source[0], source[1], source[2], 255};
            ASSERT_EQ(std::vector<uint8_t>(&out[(y * 36 + x) * 4], &out[(y * 36 + x) * 4 + 4]),
                      expected)
                << x << "," << y;
        }
    }
}

struct FormatCase {
    const char* name;
    media::Guid subtype;
    std::vector<uint8_t> border;   // first bytes of a bar
    std::vector<uint8_t> content;  // bytes of a red pixel (pair for YUY2)
    size_t contentOffset;          // where the content bytes are found, 8x4 into 16x4
};

class CpuFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(CpuFormatTest, WritesBordersAndContentInTheFormatsLayout) {
    const FormatCase& c = GetParam();
    const auto red = SolidPixels(8, 4, {0, 0, 255, 255});
    const auto out = Convert(red, 8, 4, 32, c.subtype, 16, 4);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + c.border.size()), c.border);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + c.contentOffset,
                                   out.begin() + c.contentOffset + c.content.size()),
              c.content);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CpuFormatTest,
    ::testing::Values(
        FormatCase{"RGB32", media::kSubtypeRGB32, {0, 0, 0, 0}, {0, 0, 255, 255}, 4 * 4},
        FormatCase{"ARGB32", media::kSubtypeARGB32, {0, 0, 0, 0}, {0, 0, 255, 255}, 4 * 4},
        FormatCase{"YUY2", media::kSubtypeYUY2, {16, 128, 16, 128}, {63, 102, 63, 240}, 4 * 2},
        FormatCase{"NV12", media::kSubtypeNV12, {16, 16}, {63, 63}, 4},
        // Chroma planes: U first for IYUV, V first for YV12 (8x2 samples each, content from 2).
        FormatCase{"IYUV", media::kSubtypeIYUV, {16}, {102, 102}, 64 + 2},
        FormatCase{"YV12", media::kSubtypeYV12, {16}, {240, 240}, 64 + 2}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

// A frame whose shape differs from the output's, through either path, as the encoder receives it.
struct BarCase {
    const char* name;
    bool device;  // the device scaler and converter, else the CPU path
    uint32_t width, height;
    // The first and last content column and row of the 320x180 output.
    uint32_t left, right, top, bottom;
};

class LetterboxPathTest : public ::testing::TestWithParam<BarCase> {
  protected:
    // The NV12 image of a red frame of the case's size in a 320x180 output.
    std::vector<uint8_t> Nv12() {
        const BarCase& c = GetParam();
        if (!c.device) {
            const auto red = SolidPixels(c.width, c.height, kRed);
            return Convert(red, c.width, c.height, c.width * 4, media::kSubtypeNV12, 320, 180);
        }
        // The window first had the output's size; frames of its new size reach a scaler made then.
        EXPECT_TRUE(m_scaler.Initialize(m_device.get(), 320, 180, 320, 180));
        if (c.width > m_scaler.InputWidth() || c.height > m_scaler.InputHeight()) {
            EXPECT_TRUE(m_scaler.Initialize(m_device.get(), c.width, c.height, 320, 180));
        }
        auto frame = test::SolidFrame(*m_device, c.width, c.height, kRed);
        EXPECT_TRUE(m_scaler.Scale(frame.get()));
        ColorConverter converter;
        EXPECT_TRUE(converter.Initialize(m_device.get(), 320, 180));
        gfx::Texture* image = nullptr;
        EXPECT_TRUE(converter.Convert(m_scaler.ScaledTexture(), &image));
        gfx::MappedSubresource mapped;
        EXPECT_EQ(m_device->ImmediateContext().Map(image, gfx::MapType::kRead, &mapped), kOk);
        std::vector<uint8_t> nv12(320 * 270);
        for (uint32_t row = 0; row < 270; ++row)
            std::copy_n(mapped.data + row * mapped.rowPitch, 320, nv12.begin() + row * 320);
        m_device->ImmediateContext().Unmap(image);
        return nv12;
    }

    static constexpr Bgra kRed{0, 0, 255, 255};
    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    GpuScaler m_scaler;
};

// Bars are black (luma 16, chroma 128); the content reaches exactly to them, in BT.709 red (the
// device scaler's bilinear blend keeps a full channel within a step of 255).
TEST_P(LetterboxPathTest, BarsAreBlackAndContentFillsTheRest) {
    const BarCase& c = GetParam();
    const std::vector<uint8_t> nv12 = Nv12();
    const auto yuv = [&](uint32_t x, uint32_t y) {
        const uint8_t* chroma = nv12.data() + 320 * 180 + (y / 2) * 320 + (x & ~1u);
        return std::tuple<int, int, int>(nv12[y * 320 + x], chroma[0], chroma[1]);
    };
    const std::tuple<int, int, int> black{16, 128, 128}, red{63, 102, 240};
    const uint32_t midX = (c.left + c.right) / 2, midY = (c.top + c.bottom) / 2;
    for (const auto& [x, y] : {std::pair{c.left, midY},
                               {c.right, midY},
                               {midX, c.top},
                               {midX, c.bottom},
                               {midX, midY}}) {
        const auto [y0, u0, v0] = yuv(x, y);
        EXPECT_NEAR(y0, std::get<0>(red), 1) << x << "," << y;
        EXPECT_NEAR(u0, std::get<1>(red), 1) << x << "," << y;
        EXPECT_NEAR(v0, std::get<2>(red), 1) << x << "," << y;
    }
    if (c.left > 0) {
        EXPECT_EQ(yuv(0, midY), black);
        EXPECT_EQ(yuv(c.left - 1, midY), black);
        EXPECT_EQ(yuv(c.right + 1, midY), black);
        EXPECT_EQ(yuv(319, midY), black);
    }
    if (c.top > 0) {
        EXPECT_EQ(yuv(midX, 0), black);
        EXPECT_EQ(yuv(midX, c.top - 1), black);
        EXPECT_EQ(yuv(midX, c.bottom + 1), black);
        EXPECT_EQ(yuv(midX, 179), black);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LetterboxPathTest,
    ::testing::Values(BarCase{"DeviceFourByThree", true, 160, 120, 40, 279, 0, 179},
                      BarCase{"CpuFourByThree", false, 160, 120, 40, 279, 0, 179},
                      BarCase{"DeviceResizedSixteenByTen", true, 320, 200, 16, 303, 0, 179},
                      BarCase{"CpuResizedSixteenByTen", false, 320, 200, 16, 303, 0, 179},
                      BarCase{"DeviceResizedWide", true, 400, 100, 0, 319, 50, 129},
                      BarCase{"CpuResizedWide", false, 400, 100, 0, 319, 50, 129}),
    [](const auto& info) { return info.param.name; });

class GpuScalerTest : public ::testing::Test {
  protected:
    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    GpuScaler m_scaler;
};

TEST_F(GpuScalerTest, ASmallerInputReusesTheScalerMadeForALargerOne) {
    ASSERT_TRUE(m_scaler.Initialize(m_device.get(), 1920, 1200, 1920, 1080));
    EXPECT_TRUE(m_scaler.Initialize(m_device.get(), 1280, 720, 1920, 1080));
    EXPECT_EQ(m_scaler.InputWidth(), 1920u);
}

TEST_F(GpuScalerTest, RefusedInputIsReportedOncePerProcessAndEachTimePlainly) {
    setenv("TAMRO_PERF", "1", 1);
    ASSERT_TRUE(m_scaler.Initialize(m_device.get(), 640, 480, 320, 240));
    auto staging = test::SolidFrame(*m_device, 640, 480, {}, gfx::Usage::kStaging);
    test::LogCapture log;
    EXPECT_FALSE(m_scaler.Scale(staging.get()));
    EXPECT_FALSE(m_scaler.Scale(staging.get()));
    EXPECT_EQ(log.Count("[PERF][Encode] GPU scaler input view FAILED hr=0x80070057 bind=0x0"), 1);
    EXPECT_EQ(log.Count("[Encoder] GPU Scaler: Failed to create input view"), 2);

    GpuScaler noDevice;
    EXPECT_FALSE(noDevice.Initialize(nullptr, 640, 480, 320, 240));
    EXPECT_TRUE(log.Contains("[Encoder] GPU Scaler: No D3D device available"));
    EXPECT_FALSE(noDevice.Scale(nullptr));
}

}  // namespace
}  // namespace tamro
