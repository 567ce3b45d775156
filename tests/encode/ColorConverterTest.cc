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

// The vectorised row matches the plain one byte for byte at every width (odd numbers of pixel
// pairs, tails shorter than a vector), from unaligned starts, in both memory orders; the plain
// one is within one step of the exact limited-range formulas.
TEST(BgraToNv12RowTest, VectorisedRowMatchesReference) {
    std::mt19937 random(7);
    for (uint32_t width = 2; width <= 134; width += 2) {
        for (const uint32_t start : {0u, 1u, 3u}) {
            std::vector<uint8_t> rows((width + start) * 8);
            for (uint8_t& byte : rows)
                byte = static_cast<uint8_t>(random());
            const uint8_t* row0 = rows.data() + start;
            const uint8_t* row1 = row0 + width * 4;
            for (const bool redFirst : {false, true}) {
                std::vector<uint8_t> expected(width * 3), actual(width * 3 + start);
                uint8_t* out = actual.data() + start;
                shaders::BgraToNv12RowPairPlain(row0, row1, expected.data(),
                                                expected.data() + width,
                                                expected.data() + 2 * width, width, redFirst);
                shaders::BestNv12RowPair()(row0, row1, out, out + width, out + 2 * width, width,
                                           redFirst);
                ASSERT_EQ(std::vector<uint8_t>(out, out + width * 3), expected)
                    << "width " << width << " start " << start << " redFirst " << redFirst;
            }
            std::vector<uint8_t> plain(width * 3);
            shaders::BgraToNv12RowPairPlain(row0, row1, plain.data(), plain.data() + width,
                                            plain.data() + 2 * width, width, false);
            for (uint32_t x = 0; x < width; x += 2) {
                const uint8_t* p = row0 + x * 4;
                const float luma = (0.2126f * p[2] + 0.7152f * p[1] + 0.0722f * p[0]) * 219 / 255;
                EXPECT_NEAR(shaders::Bt709Luma(p[2], p[1], p[0]), luma + 16.0f, 1.0f);
                float r = 0, g = 0, b = 0;
                for (const uint8_t* q : {p, p + 4, p + width * 4, p + width * 4 + 4})
                    r += q[2] / 4.0f, g += q[1] / 4.0f, b += q[0] / 4.0f;
                const float u = (-0.114572f * r - 0.385428f * g + 0.5f * b) * 224 / 255 + 128;
                const float v = (0.5f * r - 0.454153f * g - 0.045847f * b) * 224 / 255 + 128;
                EXPECT_NEAR(plain[2 * width + x], u, 0.6f) << x;
                EXPECT_NEAR(plain[2 * width + x + 1], v, 0.6f) << x;
            }
        }
    }
}

}  // namespace
}  // namespace tamro
