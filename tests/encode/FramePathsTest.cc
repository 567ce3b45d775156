#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
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
using Yuv = std::tuple<int, int, int>;

// BT.709 limited range.
constexpr Yuv kBlack{16, 128, 128}, kWhite{235, 128, 128}, kRed{63, 102, 240};
constexpr Bgra kRedPixel{0, 0, 255}, kWhitePixel{255, 255, 255};

// An NV12 picture: luma rows, then interleaved chroma rows, without padding.
struct Nv12 {
    uint32_t width, height;
    std::vector<uint8_t> bytes;

    Yuv At(uint32_t x, uint32_t y) const {
        const uint8_t* chroma = &bytes[(height + y / 2) * width + (x & ~1u)];
        return {bytes[y * width + x], chroma[0], chroma[1]};
    }
};

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

class ColorConverterTest : public ::testing::Test {
  protected:
    // The converter's image of a frame of one colour.
    gfx::Texture* ConvertSolid(uint32_t width, uint32_t height, Bgra colour) {
        auto frame = test::SolidFrame(*m_device, width, height, colour);
        gfx::Texture* image = nullptr;
        EXPECT_TRUE(m_converter.Convert(frame.get(), &image));
        return image;
    }

    // The converter's image read back.
    Nv12 Read(gfx::Texture* image) {
        const uint32_t width = image->Width(), height = image->Height() * 2 / 3;
        Nv12 nv12{width, height, std::vector<uint8_t>(width * height * 3 / 2)};
        gfx::MappedSubresource mapped;
        EXPECT_EQ(m_device->ImmediateContext().Map(image, gfx::MapType::kRead, &mapped), kOk);
        for (uint32_t row = 0; row < height * 3 / 2; ++row)
            std::copy_n(mapped.data + row * mapped.rowPitch, width, &nv12.bytes[row * width]);
        m_device->ImmediateContext().Unmap(image);
        return nv12;
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    ColorConverter m_converter;
};

// Luma in 16..235 and chroma in 16..240 around 128, as the stream's BT.709 limited-range tag says.
// Each picture comes with its own frame: a lag would put the video behind its timestamps.
TEST_F(ColorConverterTest, ColoursGetLimitedRangeBt709EachFromItsOwnFrame) {
    ASSERT_TRUE(m_converter.Initialize(m_device.get(), 64, 32));
    // Red: Y 0.2126 x 219 + 16, U 128 - 0.1146 x 224, V 128 + 112; blue likewise on U.
    const struct {
        const char* name;
        Bgra colour;
        Yuv yuv;
    } kColours[] = {{"white", kWhitePixel, kWhite},
                    {"black", {0, 0, 0}, kBlack},
                    {"red", kRedPixel, kRed},
                    {"blue", {255, 0, 0}, {32, 240, 118}},
                    {"grey", {128, 128, 128}, {126, 128, 128}}};
    for (const auto& c : kColours)
        EXPECT_EQ(Read(ConvertSolid(64, 32, c.colour)).At(10, 6), c.yuv) << c.name;
}

// A window that became shorter lands between black bars; a frame of another size later must not
// leave its pixels behind in either image.
TEST_F(ColorConverterTest, LetterboxesAShorterFrameWithoutScaling) {
    ASSERT_TRUE(m_converter.Initialize(m_device.get(), 64, 48));
    ASSERT_TRUE(m_converter.Accepts(64, 40));
    ConvertSolid(64, 48, kWhitePixel);
    ConvertSolid(64, 48, kWhitePixel);
    const Nv12 letterboxed = Read(ConvertSolid(64, 40, kWhitePixel));
    for (uint32_t row : {0u, 3u, 44u, 47u})
        EXPECT_EQ(letterboxed.At(5, row), kBlack) << "row " << row;
    for (uint32_t row : {4u, 43u})
        EXPECT_EQ(letterboxed.At(5, row), kWhite) << "row " << row;

    // Pillarbox offsets stay even so chroma blocks line up: 54 columns of 64 start at 4.
    const Nv12 pillarboxed = Read(ConvertSolid(54, 48, kWhitePixel));
    EXPECT_EQ(pillarboxed.At(3, 10), kBlack);
    EXPECT_EQ(pillarboxed.At(4, 10), kWhite);
    EXPECT_EQ(pillarboxed.At(57, 10), kWhite);
    EXPECT_EQ(pillarboxed.At(58, 10), kBlack);
    EXPECT_FALSE(m_converter.Accepts(54, 40));
    EXPECT_FALSE(m_converter.Accepts(63, 48));
}

TEST_F(ColorConverterTest, RefusesWhatItCannotConvert) {
    test::LogCapture log;
    EXPECT_FALSE(m_converter.Initialize(m_device.get(), 1921, 1080));
    EXPECT_TRUE(
        log.Contains("[ColorConverter] Initialize failed: dimensions must be even for NV12"));
    EXPECT_FALSE(m_converter.Initialize(nullptr, 1920, 1080));
    EXPECT_TRUE(log.Contains("[ColorConverter] Initialize failed: invalid parameters"));

    ASSERT_TRUE(m_converter.Initialize(m_device.get(), 1920, 1080));
    gfx::Texture* image = nullptr;
    auto small = test::SolidFrame(*m_device, 1280, 720, {});
    EXPECT_FALSE(m_converter.Convert(small.get(), &image));
    EXPECT_TRUE(log.Contains(
        "[ColorConverter] Input dimensions mismatch: expected 1920x1080, got 1280x720"));

    ColorConverter noTextures;
    m_device->SetFaults({.failTextureCreation = true});
    EXPECT_FALSE(noTextures.Initialize(m_device.get(), 64, 32));
    EXPECT_TRUE(log.Contains("[ColorConverter] Failed to create staging texture: 0x8007000E"));
    EXPECT_EQ(log.Count("[ColorConverter] Failed to create staging texture"), 2);
    EXPECT_FALSE(noTextures.IsInitialized());
}

TEST(LetterboxTest, KeepsTheAspectOnEvenPixels) {
    const struct {
        const char* name;
        uint32_t sourceWidth, sourceHeight, outputWidth, outputHeight;
        LetterboxPlacement placement;
    } kCases[] = {
        {"FourByThreeIntoSixteenByNine", 640, 480, 1920, 1080, {640, 480, 240, 0, 1440, 1080}},
        {"SameAspect", 2560, 1440, 1280, 720, {2560, 1440, 0, 0, 1280, 720}},
        // An odd bar width rounds the offset down to even.
        {"OddBar", 4, 3, 162, 90, {4, 3, 20, 0, 120, 90}},
        // A window resized while recording into its first size: taller, then wider.
        {"ResizedTaller", 800, 900, 1000, 600, {800, 900, 234, 0, 532, 600}},
        {"ResizedWider", 1600, 400, 1000, 600, {1600, 400, 0, 174, 1000, 250}},
        // An odd capture into its even output loses its last column and row, unscaled.
        {"OddSizeCropped", 1001, 601, 1000, 600, {1000, 600, 0, 0, 1000, 600}},
        // Bars that would be a single pixel are a rounding step, not a letterbox.
        {"NoHairlineBars", 1001, 601, 500, 300, {1001, 601, 0, 0, 500, 300}}};
    for (const auto& c : kCases) {
        EXPECT_EQ(Letterbox::Fit(c.sourceWidth, c.sourceHeight, c.outputWidth, c.outputHeight),
                  c.placement)
            << c.name;
    }
}

TEST(CpuFrameConverterTest, RowPitchWiderThanTheRowIsHonoured) {
    // The padding bytes (0xEE) would show as a bright stripe if the pitch were ignored.
    const auto red = SolidPixels(62, 40, kRedPixel, 320);
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

// A red 8x4 picture in a 16x4 output: a bar, then the picture, in each format's layout.
TEST(CpuFrameConverterTest, WritesBordersAndContentInTheFormatsLayout) {
    const struct {
        const char* name;
        media::Guid subtype;
        std::vector<uint8_t> border;   // first bytes of a bar
        std::vector<uint8_t> content;  // bytes of a red pixel (pair for YUY2)
        size_t contentOffset;          // where the content bytes are found
    } kFormats[] = {
        {"RGB32", media::kSubtypeRGB32, {0, 0, 0, 0}, {0, 0, 255, 255}, 4 * 4},
        {"ARGB32", media::kSubtypeARGB32, {0, 0, 0, 0}, {0, 0, 255, 255}, 4 * 4},
        {"YUY2", media::kSubtypeYUY2, {16, 128, 16, 128}, {63, 102, 63, 240}, 4 * 2},
        {"NV12", media::kSubtypeNV12, {16, 16}, {63, 63}, 4},
        // Chroma planes: U first for IYUV, V first for YV12 (8x2 samples each, content from 2).
        {"IYUV", media::kSubtypeIYUV, {16}, {102, 102}, 64 + 2},
        {"YV12", media::kSubtypeYV12, {16}, {240, 240}, 64 + 2}};
    const auto red = SolidPixels(8, 4, kRedPixel);
    for (const auto& c : kFormats) {
        const auto out = Convert(red, 8, 4, 32, c.subtype, 16, 4);
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + c.border.size()), c.border)
            << c.name;
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + c.contentOffset,
                                       out.begin() + c.contentOffset + c.content.size()),
                  c.content)
            << c.name;
    }
}

// A frame whose shape differs from the output's, through either path, as the encoder receives it.
struct BarCase {
    const char* name;
    bool device;  // the device scaler and converter, else the CPU path
    uint32_t width, height;
    // The first and last content column and row of the 320x180 output.
    uint32_t left, right, top, bottom;
};

class LetterboxPathTest : public ColorConverterTest, public ::testing::WithParamInterface<BarCase> {
  protected:
    // The NV12 image of a red frame of the case's size in a 320x180 output.
    Nv12 Letterboxed() {
        const BarCase& c = GetParam();
        if (!c.device) {
            const auto red = SolidPixels(c.width, c.height, kRedPixel);
            return {320, 180,
                    Convert(red, c.width, c.height, c.width * 4, media::kSubtypeNV12, 320, 180)};
        }
        // The window first had the output's size; frames of its new size reach a scaler made then.
        GpuScaler scaler;
        EXPECT_TRUE(scaler.Initialize(m_device.get(), 320, 180, 320, 180));
        if (c.width > scaler.InputWidth() || c.height > scaler.InputHeight()) {
            EXPECT_TRUE(scaler.Initialize(m_device.get(), c.width, c.height, 320, 180));
        }
        auto frame = test::SolidFrame(*m_device, c.width, c.height, kRedPixel);
        EXPECT_TRUE(scaler.Scale(frame.get()));
        EXPECT_TRUE(m_converter.Initialize(m_device.get(), 320, 180));
        gfx::Texture* image = nullptr;
        EXPECT_TRUE(m_converter.Convert(scaler.ScaledTexture(), &image));
        return Read(image);
    }
};

// Bars are black; the content reaches exactly to them, in red (the device scaler's bilinear blend
// keeps a full channel within a step of 255).
TEST_P(LetterboxPathTest, BarsAreBlackAndContentFillsTheRest) {
    const BarCase& c = GetParam();
    const Nv12 nv12 = Letterboxed();
    const uint32_t midX = (c.left + c.right) / 2, midY = (c.top + c.bottom) / 2;
    for (const auto& [x, y] : {std::pair{c.left, midY},
                               {c.right, midY},
                               {midX, c.top},
                               {midX, c.bottom},
                               {midX, midY}}) {
        const auto [luma, u, v] = nv12.At(x, y);
        EXPECT_NEAR(luma, std::get<0>(kRed), 1) << x << "," << y;
        EXPECT_NEAR(u, std::get<1>(kRed), 1) << x << "," << y;
        EXPECT_NEAR(v, std::get<2>(kRed), 1) << x << "," << y;
    }
    std::vector<std::pair<uint32_t, uint32_t>> bars;
    if (c.left > 0)
        bars.insert(bars.end(), {{0, midY}, {c.left - 1, midY}, {c.right + 1, midY}, {319, midY}});
    if (c.top > 0)
        bars.insert(bars.end(), {{midX, 0}, {midX, c.top - 1}, {midX, c.bottom + 1}, {midX, 179}});
    for (const auto& [x, y] : bars)
        EXPECT_EQ(nv12.At(x, y), kBlack) << x << "," << y;
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

// A smaller input reuses the scaler made for a larger one; a refused input is reported once per
// process in the perf log and each time plainly.
TEST(GpuScalerTest, ReusesItselfForSmallerInputsAndReportsRefusedOnes) {
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    GpuScaler scaler;
    ASSERT_TRUE(scaler.Initialize(device.get(), 1920, 1200, 1920, 1080));
    EXPECT_TRUE(scaler.Initialize(device.get(), 1280, 720, 1920, 1080));
    EXPECT_EQ(scaler.InputWidth(), 1920u);

    setenv("TAMRO_PERF", "1", 1);
    GpuScaler refusing;
    ASSERT_TRUE(refusing.Initialize(device.get(), 640, 480, 320, 240));
    auto staging = test::SolidFrame(*device, 640, 480, {}, gfx::Usage::kStaging);
    test::LogCapture log;
    EXPECT_FALSE(refusing.Scale(staging.get()));
    EXPECT_FALSE(refusing.Scale(staging.get()));
    EXPECT_EQ(log.Count("[PERF][Encode] GPU scaler input view FAILED hr=0x80070057 bind=0x0"), 1);
    EXPECT_EQ(log.Count("[Encoder] GPU Scaler: Failed to create input view"), 2);

    GpuScaler noDevice;
    EXPECT_FALSE(noDevice.Initialize(nullptr, 640, 480, 320, 240));
    EXPECT_TRUE(log.Contains("[Encoder] GPU Scaler: No D3D device available"));
    EXPECT_FALSE(noDevice.Scale(nullptr));
}

}  // namespace
}  // namespace tamro
