#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "encode/ColorConverter.h"
#include "support/FrameTextures.h"
#include "support/LogCapture.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

using test::Bgra;

struct Nv12Sample {
    uint8_t y = 0;
    uint8_t u = 0;
    uint8_t v = 0;
};

// Luma and chroma at pixel (x, y) of the converter's image.
Nv12Sample ReadImage(gfx::Device& device, gfx::Texture* image, uint32_t height, uint32_t x,
                     uint32_t y) {
    gfx::MappedSubresource mapped;
    EXPECT_EQ(device.ImmediateContext().Map(image, gfx::MapType::kRead, &mapped), kOk);
    const uint8_t* chroma = mapped.data + (height + y / 2) * mapped.rowPitch + (x & ~1u);
    const Nv12Sample sample{mapped.data[y * mapped.rowPitch + x], chroma[0], chroma[1]};
    device.ImmediateContext().Unmap(image);
    return sample;
}

class ColorConverterTest : public ::testing::Test {
  protected:
    Nv12Sample ConvertSolid(Bgra colour) {
        EXPECT_TRUE(m_converter.Initialize(m_device.get(), 64, 32));
        auto frame = test::SolidFrame(*m_device, 64, 32, colour);
        gfx::Texture* image = nullptr;
        EXPECT_TRUE(m_converter.Convert(frame.get(), &image));
        return ReadImage(*m_device, image, 32, 10, 6);
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    ColorConverter m_converter;
};

struct ColourCase {
    const char* name;
    Bgra colour;
    std::tuple<int, int, int> yuv;
};

class ColorConverterColourTest : public ColorConverterTest,
                                 public ::testing::WithParamInterface<ColourCase> {};

// Luma in 16..235 and chroma in 16..240 around 128, as the stream's BT.709 limited-range tag says.
TEST_P(ColorConverterColourTest, ColoursGetLimitedRangeBt709) {
    const Nv12Sample sample = ConvertSolid(GetParam().colour);
    const std::tuple<int, int, int> yuv{sample.y, sample.u, sample.v};
    EXPECT_EQ(yuv, GetParam().yuv);
}

// Red: Y 0.2126 x 219 + 16, U 128 - 0.1146 x 224, V 128 + 112; blue likewise on U.
INSTANTIATE_TEST_SUITE_P(
    Colours, ColorConverterColourTest,
    ::testing::Values(ColourCase{"White", {255, 255, 255, 255}, {235, 128, 128}},
                      ColourCase{"Black", {0, 0, 0, 255}, {16, 128, 128}},
                      ColourCase{"Red", {0, 0, 255, 255}, {63, 102, 240}},
                      ColourCase{"Blue", {255, 0, 0, 255}, {32, 240, 118}},
                      ColourCase{"Grey", {128, 128, 128, 255}, {126, 128, 128}}),
    [](const auto& info) { return info.param.name; });

TEST_F(ColorConverterTest, DeliversEachFrameInItsOwnImage) {
    ASSERT_TRUE(m_converter.Initialize(m_device.get(), 32, 16));
    const uint8_t levels[] = {0, 128, 255};
    std::vector<uint8_t> delivered;
    for (uint8_t level : levels) {
        auto frame = test::SolidFrame(*m_device, 32, 16, {level, level, level, 255});
        gfx::Texture* image = nullptr;
        ASSERT_TRUE(m_converter.Convert(frame.get(), &image));
        delivered.push_back(ReadImage(*m_device, image, 16, 0, 0).y);
    }
    // Each picture with its own frame: a lag would put the video behind its timestamps.
    EXPECT_EQ(delivered, (std::vector<uint8_t>{16, 126, 235}));
}

// A window that became shorter lands between black bars; a frame of another size later must not
// leave its pixels behind in either image.
TEST_F(ColorConverterTest, LetterboxesAShorterFrameWithoutScaling) {
    ASSERT_TRUE(m_converter.Initialize(m_device.get(), 64, 48));
    const Bgra white{255, 255, 255, 255};
    const auto convert = [&](uint32_t width, uint32_t height) {
        auto frame = test::SolidFrame(*m_device, width, height, white);
        gfx::Texture* image = nullptr;
        EXPECT_TRUE(m_converter.Convert(frame.get(), &image));
        return image;
    };
    ASSERT_TRUE(m_converter.Accepts(64, 40));
    convert(64, 48);
    convert(64, 48);
    gfx::Texture* image = convert(64, 40);
    for (uint32_t row : {0u, 3u, 44u, 47u}) {
        const Nv12Sample bar = ReadImage(*m_device, image, 48, 5, row);
        EXPECT_EQ(bar.y, 16) << "row " << row;
        EXPECT_EQ(bar.u, 128) << "row " << row;
    }
    for (uint32_t row : {4u, 43u})
        EXPECT_EQ(ReadImage(*m_device, image, 48, 5, row).y, 235) << "row " << row;

    // Pillarbox offsets stay even so chroma blocks line up: 54 columns of 64 start at 4.
    image = convert(54, 48);
    EXPECT_EQ(ReadImage(*m_device, image, 48, 3, 10).y, 16);
    EXPECT_EQ(ReadImage(*m_device, image, 48, 4, 10).y, 235);
    EXPECT_EQ(ReadImage(*m_device, image, 48, 57, 10).y, 235);
    EXPECT_EQ(ReadImage(*m_device, image, 48, 58, 10).y, 16);
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

}  // namespace
}  // namespace tamro
