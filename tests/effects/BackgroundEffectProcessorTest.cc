#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "effects/BackgroundEffectProcessor.h"
#include "platform/imaging/PngFile.h"
#include "shaders/EffectBlur.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

namespace fs = std::filesystem;

// The red channel model: the mask is the frame's red byte / 255, so a frame paints its own
// person. Frames are 64 x 32, four times the model's 16 x 8, so each model pixel is one sample.
class BackgroundEffectProcessorTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kWidth = 64, kHeight = 32;

    void InstallModel() {
        fs::create_directories(m_folder.path() / "models");
        fs::copy_file(fs::path(TAMRO_TEST_MODELS) / "nhwc_red.onnx",
                      m_folder.path() / "models/selfie_segmentation.onnx");
    }

    std::unique_ptr<BackgroundEffectProcessor> Processor(uint32_t width = kWidth,
                                                         uint32_t height = kHeight) {
        auto processor = std::make_unique<BackgroundEffectProcessor>(
            BackgroundEffectProcessor::Options{m_folder.path()});
        EXPECT_TRUE(processor->Initialize(m_device.get(), width, height));
        return processor;
    }

    // Red (the person) where `person(x, y)`, blue elsewhere; green carries a pattern.
    template <typename Person>
    std::shared_ptr<gfx::Texture> Frame(Person person, uint32_t width = kWidth,
                                        uint32_t height = kHeight) {
        gfx::TextureDesc desc{.width = width, .height = height, .format = gfx::Format::kBGRA8};
        desc.bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget;
        std::shared_ptr<gfx::Texture> texture;
        EXPECT_EQ(m_device->CreateTexture(desc, nullptr, 0, &texture), kOk);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t* p = texture->Row(y) + x * 4;
                const bool inside = person(x, y);
                p[0] = inside ? 0 : 255, p[1] = ((x / 2 + y / 2) % 2) * 200,
                p[2] = inside ? 255 : 0, p[3] = 255;
            }
        return texture;
    }

    static const uint8_t* Pixel(gfx::Texture* texture, uint32_t x, uint32_t y) {
        return texture->Row(y) + x * 4;
    }

    static BackgroundEffectConfig Effect(int32_t mode, int32_t quality = 2) {
        BackgroundEffectConfig config;
        config.Mode = mode;
        config.Quality = quality;
        config.SolidColorPreset = 2;  // 23, 42, 69
        return config;
    }

    static bool IsPresetColour(const uint8_t* p) { return p[0] == 69 && p[1] == 42 && p[2] == 23; }

    test::TempDir m_folder;
    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
};

TEST_F(BackgroundEffectProcessorTest, QualityChoosesHowOftenTheModelRuns) {
    InstallModel();
    auto processor = Processor();
    const std::pair<int32_t, int32_t> intervals[] = {{1, 3}, {2, 1}, {3, 2},
                                                     {4, 3}, {5, 2}, {9, 2}};
    for (const auto& [quality, interval] : intervals) {
        processor->SetConfig(Effect(2, quality));
        EXPECT_EQ(processor->SkipIntervalForTesting(), interval) << "quality " << quality;
    }

    // Every 3rd frame: the person moves each frame, the mask only on frames 1, 4, 7.
    processor->SetConfig(Effect(2, 4));
    int segmented = 0;
    for (uint32_t frame = 0; frame < 7; ++frame) {
        const uint32_t left = frame * 8;
        auto input = Frame([&](uint32_t x, uint32_t) { return x >= left && x < left + 8; });
        gfx::Texture* output = nullptr;
        ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
        // The person's own column shows it only when its mask was taken from this frame.
        const bool shown = !IsPresetColour(Pixel(output, left + 4, 16));
        EXPECT_EQ(shown, frame % 3 == 0) << "frame " << frame;
        segmented += shown;
    }
    EXPECT_EQ(segmented, 3);
    EXPECT_EQ(processor->ProcessedFrames(), 7u);
}

TEST_F(BackgroundEffectProcessorTest, ASkippedFrameReplacesItsBackgroundThroughTheLastMask) {
    InstallModel();
    auto processor = Processor();
    processor->SetConfig(Effect(2, 3));  // every 2nd frame
    auto leftPerson = Frame([](uint32_t x, uint32_t) { return x < 32; });
    gfx::Texture* output = nullptr;
    ASSERT_TRUE(processor->ProcessFrame(leftPerson.get(), &output));
    EXPECT_EQ(Pixel(output, 10, 10)[2], 255);
    EXPECT_TRUE(IsPresetColour(Pixel(output, 50, 10)));

    // The person moved right, but this frame reuses the left mask: the left half shows the new
    // frame (blue there), the right half the colour.
    auto rightPerson = Frame([](uint32_t x, uint32_t) { return x >= 32; });
    ASSERT_TRUE(processor->ProcessFrame(rightPerson.get(), &output));
    EXPECT_EQ(Pixel(output, 10, 10)[0], 255);
    EXPECT_TRUE(IsPresetColour(Pixel(output, 50, 10)));
}

TEST_F(BackgroundEffectProcessorTest, WithoutAModelOnlyBlurRunsOverTheWholeFrame) {
    test::LogCapture log;
    auto processor = Processor();
    EXPECT_FALSE(processor->IsMlAvailable());
    EXPECT_TRUE(
        log.Contains("[BackgroundEffectProcessor] Segmentation model initialization failed"));
    EXPECT_TRUE(log.Contains("[BackgroundEffectProcessor] DirectML not available, blur-only mode"));
    auto input = Frame([](uint32_t x, uint32_t) { return x < 32; });
    gfx::Texture* output = nullptr;
    for (int32_t mode : {2, 3, 4}) {
        processor->SetConfig(Effect(mode));
        ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
        EXPECT_EQ(output, input.get()) << "mode " << mode;
    }
    processor->SetConfig(Effect(1));
    ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
    ASSERT_NE(output, input.get());
    // Blurred across the person's edge, in the frame's own channel order.
    const uint8_t* edge = Pixel(output, 32, 16);
    EXPECT_GT(edge[2], 40);
    EXPECT_LT(edge[2], 215);
    EXPECT_GT(Pixel(output, 2, 16)[2], 200);
    EXPECT_LT(Pixel(output, 2, 16)[0], 60);
}

TEST_F(BackgroundEffectProcessorTest, AMissingPictureFallsBackToTheSolidColour) {
    InstallModel();
    test::LogCapture log;
    auto processor = Processor();
    EXPECT_TRUE(log.Contains("[BackgroundEffectProcessor] Image not found: bg_city_view.jpg"));
    BackgroundEffectConfig effect = Effect(4);
    effect.ImagePreset = 12;
    processor->SetConfig(effect);
    auto input = Frame([](uint32_t x, uint32_t) { return x < 32; });
    gfx::Texture* output = nullptr;
    ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
    ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
    EXPECT_TRUE(IsPresetColour(Pixel(output, 50, 10)));
    EXPECT_EQ(log.Count("Image preset not loaded, using solid color"), 1);
}

// The background is drawn once per setting; a new colour or a gradient shows from the next frame.
TEST_F(BackgroundEffectProcessorTest, ANewBackgroundShowsFromTheNextFrame) {
    InstallModel();
    auto processor = Processor();
    auto input = Frame([](uint32_t x, uint32_t) { return x < 32; });
    gfx::Texture* output = nullptr;
    processor->SetConfig(Effect(2));
    ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
    ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
    EXPECT_TRUE(IsPresetColour(Pixel(output, 50, 10)));
    BackgroundEffectConfig white = Effect(2);
    white.SolidColorPreset = 0;  // 245, 243, 238
    processor->SetConfig(white);
    ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
    EXPECT_EQ(Pixel(output, 50, 10)[2], 245);
    BackgroundEffectConfig gradient = Effect(3);
    gradient.GradientPreset = 3;  // 10, 20, 50 at the top
    processor->SetConfig(gradient);
    ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));
    EXPECT_EQ(Pixel(output, 50, 0)[0], 50);
}

TEST_F(BackgroundEffectProcessorTest, ANewFrameSizeSegmentsTheVeryNextFrame) {
    InstallModel();
    auto processor = Processor();
    processor->SetConfig(Effect(2, 4));
    auto small = Frame([](uint32_t x, uint32_t) { return x < 32; });
    gfx::Texture* output = nullptr;
    ASSERT_TRUE(processor->ProcessFrame(small.get(), &output));
    auto large = Frame([](uint32_t x, uint32_t) { return x >= 64; }, 128, 64);
    ASSERT_TRUE(processor->ProcessFrame(large.get(), &output));
    ASSERT_EQ(output->Width(), 128u);
    EXPECT_EQ(Pixel(output, 100, 30)[2], 255);
    EXPECT_TRUE(IsPresetColour(Pixel(output, 10, 30)));
}

// The blur runs on the frame at half size: on a photograph it must give what the full-size
// Gaussian of the same radius gives, to within a few grey levels (a radius twice too large is
// off by 11 to 18 on average).
TEST_F(BackgroundEffectProcessorTest, HalfSizeBlurMatchesTheFullSizeGaussianOnAPhotograph) {
    platform::imaging::Picture photo;
    if (platform::imaging::PngFile::Read(TAMRO_TEST_PHOTO, &photo) !=
        platform::imaging::ImageStatus::kOk)
        GTEST_SKIP() << "no test photograph: scripts/bootstrap.sh fetches it";
    auto input = Frame([](uint32_t, uint32_t) { return false; }, photo.width, photo.height);
    for (uint32_t y = 0; y < photo.height; ++y)
        for (uint32_t x = 0; x < photo.width; ++x) {
            const uint8_t* rgba = photo.Pixel(x, y);
            uint8_t* bgra = input->Row(y) + x * 4;
            bgra[0] = rgba[2], bgra[1] = rgba[1], bgra[2] = rgba[0];
        }
    auto processor = Processor(photo.width, photo.height);  // no model: the whole frame blurs
    for (const auto [intensity, radius] : {std::pair{0, 8.0f}, {1, 15.0f}, {2, 25.0f}}) {
        BackgroundEffectConfig effect = Effect(1);
        effect.BlurIntensity = intensity;
        processor->SetConfig(effect);
        gfx::Texture* output = nullptr;
        ASSERT_TRUE(processor->ProcessFrame(input.get(), &output));

        // The reference: both passes at full size (the first leaves the bytes in RGBA order).
        gfx::TextureDesc desc = input->Desc();
        desc.format = gfx::Format::kRGBA8;
        std::shared_ptr<gfx::Texture> across, reference;
        ASSERT_EQ(m_device->CreateTexture(desc, nullptr, 0, &across), kOk);
        ASSERT_EQ(m_device->CreateTexture(desc, nullptr, 0, &reference), kOk);
        const shaders::BlurConstants constants{radius, 0, 0, 0};
        gfx::Texture* const in[] = {input.get()};
        gfx::Texture* const mid[] = {across.get()};
        gfx::Texture* const out[] = {reference.get()};
        for (uint32_t y = 0; y < photo.height; ++y) {
            shaders::EffectBlurHorizontal({in, mid, &constants, sizeof constants}, {y, y + 1});
        }
        for (uint32_t y = 0; y < photo.height; ++y)
            shaders::EffectBlurVertical({mid, out, &constants, sizeof constants}, {y, y + 1});

        std::vector<int> differences;
        for (uint32_t y = 0; y < photo.height; ++y)
            for (uint32_t x = 0; x < photo.width; ++x)
                for (int c = 0; c < 3; ++c)
                    differences.push_back(
                        std::abs(Pixel(output, x, y)[c] - Pixel(reference.get(), x, y)[2 - c]));
        double sum = 0;
        for (int d : differences)
            sum += d;
        std::sort(differences.begin(), differences.end());
        SCOPED_TRACE(testing::Message() << "radius " << radius);
        EXPECT_LT(sum / differences.size(), 3.0);
        EXPECT_LE(differences[differences.size() * 99 / 100], 12);
    }
}

}  // namespace
}  // namespace tamro
