#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "platform/gfx/Device.h"
#include "shaders/CameraComposite.h"
#include "shaders/VariantTest.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

using Pixel = std::array<uint8_t, 4>;  // B, G, R, A

constexpr Pixel kRed{0, 0, 255, 255}, kGreen{0, 255, 0, 255}, kBlue{255, 0, 0, 255};
constexpr Pixel kWhite{255, 255, 255, 255}, kScreen{40, 60, 80, 90};

class CameraCompositeTest : public test::VariantTest<CameraCompositePixelRows> {
  protected:
    void SetUp() override {
        VariantTest::SetUp();
        ASSERT_EQ(m_device->CompileKernel("CameraComposite", &m_kernel), kOk);
        m_device->ImmediateContext().SetParallelism(2);
    }

    // A picture whose column at u (0..1 across it) has the colour colourAt(u).
    template <typename ColourAt>
    std::shared_ptr<gfx::Texture> Picture(uint32_t width, uint32_t height, ColourAt colourAt) {
        std::vector<Pixel> pixels;
        for (uint32_t i = 0; i < width * height; ++i)
            pixels.push_back(colourAt((i % width + 0.5f) / width));
        std::shared_ptr<gfx::Texture> texture;
        const gfx::TextureDesc desc{.width = width, .height = height};
        EXPECT_EQ(m_device->CreateTexture(desc, pixels.data(), width * 4, &texture), kOk);
        return texture;
    }

    int32_t Run(gfx::Texture* camera, gfx::Texture* out, const CameraCompositeConstants& k) {
        return m_device->ImmediateContext().Dispatch(*m_kernel,
                                                     {{&camera, 1}, {&out, 1}, &k, sizeof(k)});
    }

    std::shared_ptr<gfx::Texture> Draw(uint32_t width, uint32_t height, gfx::Texture* camera,
                                       const CameraCompositeConstants& k) {
        auto out = Picture(width, height, [](float) { return kScreen; });
        EXPECT_EQ(Run(camera, out.get(), k), kOk);
        return out;
    }

    static Pixel At(const gfx::Texture& texture, uint32_t x, uint32_t y) {
        const uint8_t* p = texture.Row(y) + x * 4;
        return {p[0], p[1], p[2], p[3]};
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    const gfx::Kernel* m_kernel = nullptr;
};

// Random bubbles (across the frame's edges too, every shape, fit, border and dash) on random
// screens, cameras and paddings, in bands: the variant writes the reference's bytes, nothing past
// the pixels (a guard page follows). Run 0's large dashed ring shows an angle even slightly off.
TEST_P(CameraCompositeTest, MatchesTheReferenceOverRandomBubbles) {
    std::mt19937 random(11);
    const auto uniform = [&random](float low, float high) {
        return std::uniform_real_distribution<float>(low, high)(random);
    };
    for (int run = 0; run < 60; ++run) {
        uint32_t width = 16 + random() % 300, height = 8 + random() % 200;
        const uint32_t cameraWidth = 1 + random() % 90, cameraHeight = 1 + random() % 70;
        const bool clear = random() % 3 == 0;
        CameraCompositeConstants k{
            .rect = {uniform(-0.3f, 0.9f), uniform(-0.3f, 0.9f), uniform(0.05f, 0.8f),
                     uniform(0.05f, 0.8f)},
            .shape = {uniform(0, 1), random() % 2 * 1.0f, random() % 2 * 1.0f, uniform(0, 1.1f)},
            .borderColor = {uniform(0, 1), uniform(0, 1), uniform(0, 1), clear ? 0 : uniform(0, 1)},
            .borderMisc = {uniform(0, 0.4f), uniform(0.3f, 3.0f), random() % 2 * 1.0f, 0}};
        if (run == 0) {
            width = height = 640;
            k = {{0, 0, 1, 1}, {1, 0, 1, 1}, {1, 0, 0, 1}, {0.4f, 1, 1, 0}};
        }
        const test::GuardedTexture camera(*m_device, cameraWidth, cameraHeight, gfx::Format::kBGRA8,
                                          cameraWidth * 4 + 4 * (run % 3), random);
        std::vector<uint8_t> results[2];
        for (int i = 0; i < 2; ++i) {
            std::mt19937 screenRandom(run);
            const test::GuardedTexture out(*m_device, width, height, gfx::Format::kBGRA8,
                                           width * 4 + 12, screenRandom);
            CameraCompositePixelRows().ForceForTesting(i == 0 ? &Reference() : &Variant());
            EXPECT_EQ(Run(camera.texture.get(), out.texture.get(), k), kOk);
            results[i] = out.Pixels();
        }
        ASSERT_TRUE(results[0] == results[1]) << "run " << run << ", " << width << "x" << height;
    }
}

// A white camera changes only pixels whose centres lie in the rectangle (those on its left or top
// edge, half drawn, but not its right or bottom one), radius 0 filling it, 1 its inscribed ellipse;
// a border (alpha 0: none) rings the inside of the edge, dashed in each cycle's second half.
TEST_P(CameraCompositeTest, DrawsTheShapeAndBorderOnlyOverThePixelsTheRectangleCovers) {
    const auto white = Picture(8, 8, [](float) { return kWhite; });
    // Rectangles in pixels of a 256 x 128 frame; corner radius, border width and alpha, dashed.
    for (const auto& [left, top, width, height, corner, border, alpha, dashed] :
         {std::array<float, 8>{13.5f, 7.5f, 100, 100, 0, 0, 0, 0},
          {13.5f, 7.5f, 160, 90, 1, 0, 0, 0},
          {-40.5f, 80.5f, 100, 100, 0, 0, 0, 0},
          {200.5f, -20, 100, 60, 0, 0, 0, 0},
          {300, 20, 30, 30, 0, 0, 0, 0},
          {20, 0, 120, 120, 1, 0.2f, 0, 0},
          {20, 0, 120, 120, 1, 0.2f, 1, 0},
          {20, 0, 120, 120, 1, 0.2f, 1, 1}}) {
        const auto out = Draw(256, 128, white.get(),
                              {{left / 256, top / 128, width / 256, height / 128},
                               {corner, 0, 1, 1},
                               {1, 0, 0, alpha},
                               {border, 1, dashed, 0}});
        const double margin = 2 * std::max(2 / width, 2 / height);  // two pixels in p units
        for (uint32_t i = 0; i < 256 * 128; ++i) {
            const uint32_t x = i % 256, y = i / 256;
            const double u = 2 * (x + 0.5 - left) / width - 1, v = 2 * (y + 0.5 - top) / height - 1;
            const double r = corner ? std::hypot(u, v) : std::max(std::fabs(u), std::fabs(v));
            const double t = (std::atan2(v, u) + M_PI) / (2 * M_PI) / 0.07;  // cycles of 0.35 x 0.2
            const double dash = (t - std::floor(t)) * 2;  // 0..1 a gap, 1..2 a dash
            const Pixel pixel = At(*out, x, y);
            Pixel expected = kWhite;
            if (u < -1 || u >= 1 || v < -1 || v >= 1 || r > 1 + margin) {
                expected = kScreen;
            } else if (r > 1 - border - margin) {
                const bool ring = border > 0 && r > 1 - border + margin && r < 1 - margin;
                if (!ring || (dashed && std::fabs(dash - std::round(dash)) < 0.1)) {
                    if (corner == 0) {  // the edge ramps: a centre on it gets half the camera
                        ASSERT_NEAR(pixel[0], 40 + 215 * (u == -1 || v == -1 ? 0.5 : 1), 12);
                    }
                    continue;
                }
                expected = alpha == 0 || (dashed && dash < 1) ? kWhite : kRed;
            }
            ASSERT_EQ(pixel, expected) << x << "," << y << " of case " << left << "," << border;
        }
    }
}

// A 16:9 camera (red, green of alpha 0, blue) on a square: cover crops the sides, contain bars 14
// rows at top and bottom, mirror flips, aspect 0 means 1; opacity, not the camera's alpha, blends.
TEST_P(CameraCompositeTest, FitsMirrorsAndBlendsTheCamera) {
    const auto camera = Picture(160, 90, [](float u) {
        return u < 0.2f ? kRed : u > 0.8f ? kBlue : Pixel{0, 255, 0, 0};
    });
    const auto draw = [&](float aspect, float mirror, float cover, float opacity) {
        return Draw(64, 64, camera.get(),
                    {{0, 0, 1, 1}, {0, mirror, cover, opacity}, {}, {0, aspect, 0, 0}});
    };
    const auto cover = draw(16.0f / 9, 0, 1, 1);
    for (const auto& [x, y] : {std::pair{2u, 32u}, {61u, 32u}, {32u, 1u}, {32u, 62u}})
        EXPECT_EQ(At(*cover, x, y), kGreen) << x << "," << y;
    const auto contain = draw(16.0f / 9, 1, 0, 1);
    for (const uint32_t y : {0u, 13u, 50u, 63u})
        EXPECT_EQ(At(*contain, 32, y), kScreen) << "bar row " << y;
    EXPECT_EQ(At(*contain, 2, 32), kBlue) << "mirrored";
    EXPECT_EQ(At(*contain, 32, 16), kGreen);
    EXPECT_EQ(At(*contain, 61, 32), kRed) << "mirrored";
    EXPECT_EQ(At(*draw(0, 0, 0, 1), 2, 1), kRed) << "aspect 0: neither bars nor a crop";
    // 0 x 0.25 + 40 x 0.75 = 30, ..., 255 x 0.25 + 90 x 0.75 = 131.25
    EXPECT_EQ(At(*draw(1, 0, 1, 0.25f), 32, 32), (Pixel{30, 109, 60, 131}));
}

INSTANTIATE_TEST_SUITE_P(Variants, CameraCompositeTest, CameraCompositeTest::Indices(),
                         CameraCompositeTest::Name);

}  // namespace
}  // namespace tamro::shaders
