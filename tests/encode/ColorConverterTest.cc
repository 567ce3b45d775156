#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "encode/ColorConverter.h"
#include "shaders/BgraToNv12.h"
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

TEST_F(ColorConverterTest, ColoursGetLimitedRangeBt709) {
    const Nv12Sample white = ConvertSolid({255, 255, 255, 255});
    EXPECT_EQ(std::tuple(white.y, white.u, white.v), std::tuple(235, 128, 128));
    // 0.2126 x 0.8588 x 255 + 16; U 0.3854 x 255; V at the clamp.
    const Nv12Sample red = ConvertSolid({0, 0, 255, 255});
    EXPECT_EQ(std::tuple(red.y, red.u, red.v), std::tuple(63, 98, 255));
}

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

// 1080 rows in an image padded to 1088 land between black bars; a frame of another size later
// must not leave its pixels behind in either image.
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

    ASSERT_TRUE(m_converter.Initialize(m_device.get(), 1920, 1088));
    gfx::Texture* image = nullptr;
    auto small = test::SolidFrame(*m_device, 1280, 720, {});
    EXPECT_FALSE(m_converter.Convert(small.get(), &image));
    EXPECT_TRUE(log.Contains(
        "[ColorConverter] Input dimensions mismatch: expected 1920x1088, got 1280x720"));

    ColorConverter noTextures;
    m_device->SetFaults({.failTextureCreation = true});
    EXPECT_FALSE(noTextures.Initialize(m_device.get(), 64, 32));
    EXPECT_TRUE(log.Contains("[ColorConverter] Failed to create staging texture: 0x8007000E"));
    EXPECT_EQ(log.Count("[ColorConverter] Failed to create staging texture"), 2);
    EXPECT_FALSE(noTextures.IsInitialized());
}

// The vectorised row matches the plain one at every width, including tails shorter than a vector,
// and in both memory orders; the plain one is within one step of the exact formula.
TEST(BgraToNv12RowTest, VectorisedRowMatchesReference) {
    std::mt19937 random(7);
    for (uint32_t width = 2; width <= 70; width += 2) {
        std::vector<uint8_t> rows(width * 8);
        for (uint8_t& byte : rows)
            byte = static_cast<uint8_t>(random());
        for (const bool redFirst : {false, true}) {
            std::vector<uint8_t> expected(width * 3), actual(width * 3);
            shaders::BgraToNv12RowPairPlain(rows.data(), rows.data() + width * 4, expected.data(),
                                            expected.data() + width, expected.data() + 2 * width,
                                            width, redFirst);
            shaders::BestNv12RowPair()(rows.data(), rows.data() + width * 4, actual.data(),
                                       actual.data() + width, actual.data() + 2 * width, width,
                                       redFirst);
            ASSERT_EQ(actual, expected) << "width " << width << " redFirst " << redFirst;
            for (uint32_t x = 0; x < width && !redFirst; ++x) {
                const uint8_t* p = rows.data() + x * 4;
                const float luma = (0.2126f * p[2] + 0.7152f * p[1] + 0.0722f * p[0]) * 0.8588f;
                EXPECT_NEAR(expected[x], luma + 0.0627f * 255.0f, 1.0f);
            }
        }
    }
}

}  // namespace
}  // namespace tamro
