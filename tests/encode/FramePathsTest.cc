#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "encode/ColorConverter.h"
#include "encode/CpuFrameConverter.h"
#include "encode/GpuScaler.h"
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

TEST(CpuFrameConverterTest, FourByThreeIntoSixteenByNineIsPillarboxedOnEvenColumns) {
    const ContentPlacement placement = CpuFrameConverter::Fit(640, 480, 320, 180);
    EXPECT_EQ(placement.width, 240u);
    EXPECT_EQ(placement.height, 180u);
    EXPECT_EQ(placement.offsetX, 40u);
    EXPECT_EQ(placement.offsetY, 0u);
    // An odd bar width rounds the offset down to even; the same aspect has no bars.
    EXPECT_EQ(CpuFrameConverter::Fit(4, 3, 162, 90).offsetX % 2, 0u);
    EXPECT_EQ(CpuFrameConverter::Fit(2560, 1440, 1280, 720).offsetX, 0u);

    const auto white = SolidPixels(640, 480, {255, 255, 255, 255});
    const auto nv12 = Convert(white, 640, 480, 640 * 4, media::kSubtypeNV12, 320, 180);
    const uint8_t* chroma = nv12.data() + 320 * 180;
    EXPECT_EQ(nv12[90 * 320 + 10], 16);    // bar
    EXPECT_EQ(nv12[90 * 320 + 160], 235);  // content (BT.601 white)
    EXPECT_EQ(nv12[90 * 320 + 300], 16);
    EXPECT_EQ(chroma[45 * 320 + 10], 128);
    EXPECT_EQ(chroma[45 * 320 + 11], 128);
    EXPECT_EQ(chroma[45 * 320 + 160], 128);
}

TEST(CpuFrameConverterTest, RowPitchWiderThanTheRowIsHonoured) {
    // The padding bytes (0xEE) would show as a bright stripe if the pitch were ignored.
    const auto red = SolidPixels(62, 40, {0, 0, 255, 255}, 320);
    const auto nv12 = Convert(red, 62, 40, 320, media::kSubtypeNV12, 62, 40);
    for (uint32_t y = 0; y < 40; ++y)
        ASSERT_EQ(nv12[y * 62 + 61], 82) << y;  // BT.601 red
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
        FormatCase{"YUY2", media::kSubtypeYUY2, {16, 128, 16, 128}, {82, 90, 82, 240}, 4 * 2},
        FormatCase{"NV12", media::kSubtypeNV12, {16, 16}, {82, 82}, 4},
        // Chroma planes: U first for IYUV, V first for YV12 (8x2 samples each, content from 2).
        FormatCase{"IYUV", media::kSubtypeIYUV, {16}, {90, 90}, 64 + 2},
        FormatCase{"YV12", media::kSubtypeYV12, {16}, {240, 240}, 64 + 2}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

class GpuScalerTest : public ::testing::Test {
  protected:
    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    GpuScaler m_scaler;
};

// The scaled image is what the converter reads on the way to the encoder: its bars must come out
// as black NV12.
TEST_F(GpuScalerTest, SixteenByNineIntoTheRoundedSizeIsLetterboxedWithFourRowBars) {
    ASSERT_TRUE(m_scaler.Initialize(m_device.get(), 1920, 1080, 1920, 1088));
    auto frame = test::SolidFrame(*m_device, 1920, 1080, {200, 100, 50, 255});
    ASSERT_TRUE(m_scaler.Scale(frame.get()));
    gfx::Texture* out = m_scaler.ScaledTexture();
    auto pixel = [&](uint32_t y) {
        const uint8_t* p = out->Row(y) + 960 * 4;
        return std::vector<uint8_t>{p[0], p[1], p[2], p[3]};
    };
    ColorConverter converter;
    ASSERT_TRUE(converter.Initialize(m_device.get(), 1920, 1088));
    gfx::Texture* image = nullptr;
    ASSERT_TRUE(converter.Convert(out, &image));
    gfx::MappedSubresource mapped;
    ASSERT_EQ(m_device->ImmediateContext().Map(image, gfx::MapType::kRead, &mapped), kOk);
    auto luma = [&](uint32_t y) { return mapped.data[y * mapped.rowPitch + 700]; };
    for (uint32_t y : {0u, 3u, 1084u, 1087u}) {
        EXPECT_EQ(pixel(y), (std::vector<uint8_t>{0, 0, 0, 255})) << y;
        EXPECT_EQ(luma(y), 16) << y;
        EXPECT_EQ(mapped.data[(1088 + y / 2) * mapped.rowPitch + 700], 128) << y;
    }
    for (uint32_t y : {4u, 544u, 1083u}) {
        EXPECT_EQ(pixel(y), (std::vector<uint8_t>{200, 100, 50, 255})) << y;
        EXPECT_GT(luma(y), 16) << y;
    }
    m_device->ImmediateContext().Unmap(image);
    // A smaller input reuses the scaler made for the larger one.
    EXPECT_TRUE(m_scaler.Initialize(m_device.get(), 1280, 720, 1920, 1088));
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
