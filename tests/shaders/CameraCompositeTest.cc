#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
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

constexpr Pixel kRed{0, 0, 255, 255};
constexpr Pixel kGreen{0, 255, 0, 255};
constexpr Pixel kBlue{255, 0, 0, 255};
constexpr Pixel kWhite{255, 255, 255, 255};
constexpr Pixel kScreen{40, 60, 80, 90};

// A bubble in cover mode, opaque, without border, corners as given.
CameraCompositeConstants Bubble(float x, float y, float width, float height, float corner) {
    return {.rect = {x, y, width, height}, .shape = {corner, 0, 1, 1}, .borderMisc = {0, 1, 0, 0}};
}

float Uniform(std::mt19937& random, float low, float high) {
    return std::uniform_real_distribution<float>(low, high)(random);
}

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
        EXPECT_EQ(m_device->CreateTexture({.width = width, .height = height}, pixels.data(),
                                          width * 4, &texture),
                  kOk);
        return texture;
    }

    std::shared_ptr<gfx::Texture> Solid(uint32_t width, uint32_t height, Pixel pixel) {
        return Picture(width, height, [pixel](float) { return pixel; });
    }

    int32_t Run(gfx::Texture* camera, gfx::Texture* out, const CameraCompositeConstants& k) {
        gfx::Texture* inputs[] = {camera};
        gfx::Texture* outputs[] = {out};
        return m_device->ImmediateContext().Dispatch(*m_kernel, {inputs, outputs, &k, sizeof(k)});
    }

    // The output after drawing the bubble over a fresh screen of kScreen.
    std::shared_ptr<gfx::Texture> Draw(gfx::Texture* camera, uint32_t width, uint32_t height,
                                       const CameraCompositeConstants& k) {
        auto out = Solid(width, height, kScreen);
        EXPECT_EQ(Run(camera, out.get(), k), kOk);
        return out;
    }

    static Pixel At(const gfx::Texture& texture, uint32_t x, uint32_t y) {
        Pixel pixel;
        std::memcpy(pixel.data(), texture.Row(y) + x * 4, 4);
        return pixel;
    }

    static std::vector<uint8_t> Bytes(const gfx::Texture& texture) {
        std::vector<uint8_t> bytes;
        for (uint32_t y = 0; y < texture.Height(); ++y)
            bytes.insert(bytes.end(), texture.Row(y), texture.Row(y) + texture.Width() * 4);
        return bytes;
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    const gfx::Kernel* m_kernel = nullptr;
};

// Random bubbles (placed across the frame's edges too, every shape, fit, border and dash) over
// random screens and cameras of random sizes, dispatched in bands: every variant writes the
// reference's bytes exactly. The textures' rows are padded and the last of each ends right
// before an untouchable page, so a gather or store past the pixels crashes.
TEST_P(CameraCompositeTest, MatchesTheReferenceOverRandomBubbles) {
    std::mt19937 random(11);
    for (int run = 0; run < 60; ++run) {
        uint32_t width = 16 + random() % 300, height = 8 + random() % 200;
        const uint32_t cameraWidth = 1 + random() % 90, cameraHeight = 1 + random() % 70;
        const bool coin[] = {random() % 2 == 0, random() % 2 == 0, random() % 2 == 0,
                             random() % 3 == 0};
        CameraCompositeConstants k{
            .rect = {Uniform(random, -0.3f, 0.9f), Uniform(random, -0.3f, 0.9f),
                     Uniform(random, 0.05f, 0.8f), Uniform(random, 0.05f, 0.8f)},
            .shape = {Uniform(random, 0, 1), coin[0] ? 1.0f : 0.0f, coin[1] ? 1.0f : 0.0f,
                      Uniform(random, 0, 1.1f)},
            .borderColor = {Uniform(random, 0, 1), Uniform(random, 0, 1), Uniform(random, 0, 1),
                            coin[3] ? 0.0f : Uniform(random, 0, 1)},
            .borderMisc = {Uniform(random, 0, 0.4f), Uniform(random, 0.3f, 3.0f),
                           coin[2] ? 1.0f : 0.0f, 0}};
        if (run == 0) {
            // A large dashed ring first: its dash edges cross so many pixels that an angle
            // computed even slightly differently shows.
            width = height = 640;
            k = {.rect = {0, 0, 1, 1},
                 .shape = {1, 0, 1, 1},
                 .borderColor = {1, 0, 0, 1},
                 .borderMisc = {0.4f, 1, 1, 0}};
        }
        const test::GuardedTexture camera(*m_device, cameraWidth, cameraHeight, gfx::Format::kBGRA8,
                                          cameraWidth * 4 + 4 * (run % 3), random);
        std::vector<uint8_t> results[2];
        for (int i = 0; i < 2; ++i) {
            std::mt19937 screenRandom(run);
            const test::GuardedTexture out(*m_device, width, height, gfx::Format::kBGRA8,
                                           width * 4 + 12, screenRandom);
            const auto* previous =
                CameraCompositePixelRows().ForceForTesting(i == 0 ? &Reference() : &Variant());
            EXPECT_EQ(Run(camera.texture.get(), out.texture.get(), k), kOk);
            CameraCompositePixelRows().ForceForTesting(previous);
            results[i] = out.Pixels();
        }
        const size_t difference =
            std::mismatch(results[0].begin(), results[0].end(), results[1].begin()).first -
            results[0].begin();
        ASSERT_EQ(difference, results[0].size())
            << "run " << run << ", " << width << "x" << height << ": pixel "
            << difference / 4 % width << "," << difference / 4 / width << " differs";
    }
}

// Only pixels whose centres lie inside the rectangle change, and the rectangle may reach past
// the frame. The top-left rule: a centre on the left or top edge is covered, one on the right
// or bottom edge is not (here the edges fall on the centres of columns 10 and 20, rows 5 and 9).
TEST_P(CameraCompositeTest, ChangesOnlyThePixelsTheRectangleCovers) {
    const auto camera = Solid(7, 5, kWhite);
    struct Case {
        float x, y, width, height;
        uint32_t left, right, top, bottom;  // covered columns and rows, end excluded
    };
    for (const Case& c :
         {Case{10.5f / 64, 5.5f / 32, 10.0f / 64, 4.0f / 32, 10, 20, 5, 9},
          Case{-0.25f, 0.75f, 0.5f, 0.5f, 0, 16, 24, 32},
          Case{0.9f, -0.1f, 0.3f, 0.3f, 58, 64, 0, 6}, Case{1.2f, 0.2f, 0.3f, 0.3f, 0, 0, 0, 0}}) {
        std::mt19937 random(7);
        const test::GuardedTexture screen(*m_device, 64, 32, gfx::Format::kBGRA8, 64 * 4 + 8,
                                          random);
        const std::vector<uint8_t> before = screen.Pixels();
        EXPECT_EQ(Run(camera.get(), screen.texture.get(), Bubble(c.x, c.y, c.width, c.height, 0)),
                  kOk);
        const std::vector<uint8_t> after = screen.Pixels();
        for (uint32_t y = 0; y < 32; ++y) {
            for (uint32_t x = 0; x < 64; ++x) {
                const bool covered = x >= c.left && x < c.right && y >= c.top && y < c.bottom;
                const bool changed =
                    std::memcmp(&before[(y * 64 + x) * 4], &after[(y * 64 + x) * 4], 4) != 0;
                // Random screen bytes under an opaque white camera: every covered pixel changes.
                ASSERT_EQ(changed, covered) << x << "," << y << " of rect " << c.x << "," << c.y;
            }
        }
    }
}

// Corner radius 0 draws the whole rectangle, its corner pixels included, with an edge that
// ramps over about one pixel (a pixel three quarters inside gets about three quarters of the
// camera); radius 1 draws the ellipse inscribed in the rectangle: opaque inside, untouched
// outside, blended only within about a pixel of the curve.
TEST_P(CameraCompositeTest, RadiusZeroIsARectangleAndOneAnInscribedEllipse) {
    const auto camera = Solid(9, 9, kWhite);
    const auto square = Draw(camera.get(), 64, 64, Bubble(8.25f / 64, 8.0f / 64, 0.5f, 0.5f, 0));
    EXPECT_EQ(At(*square, 20, 20), kWhite);
    EXPECT_NE(At(*square, 8, 8), kScreen) << "corner pixel drawn";
    EXPECT_NE(At(*square, 39, 39), kScreen) << "corner pixel drawn";
    const Pixel edge = At(*square, 8, 20);
    EXPECT_NEAR(edge[0], kScreen[0] + 0.75 * (255 - kScreen[0]), 12) << "left edge ramps";

    for (const auto& [width, height] : {std::pair{100u, 100u}, std::pair{160u, 90u}}) {
        const float x = 13.0f / 200, y = 7.0f / 120;
        const auto out =
            Draw(camera.get(), 200, 120, Bubble(x, y, width / 200.0f, height / 120.0f, 1));
        // One pixel in p units, either way, and a margin of two of them around the curve.
        const float margin = 2 * std::max(2.0f / width, 2.0f / height);
        for (uint32_t py = 7; py < 7 + height; ++py) {
            for (uint32_t px = 13; px < 13 + width; ++px) {
                const float u = 2 * (px + 0.5f - 13) / width - 1;
                const float v = 2 * (py + 0.5f - 7) / height - 1;
                const float r = std::hypot(u, v);
                if (r < 1 - margin) {
                    ASSERT_EQ(At(*out, px, py), kWhite) << px << "," << py;
                } else if (r > 1 + margin) {
                    ASSERT_EQ(At(*out, px, py), kScreen) << px << "," << py;
                }
            }
        }
        EXPECT_EQ(At(*out, 13, 7), kScreen) << "outside the ellipse in the rectangle's corner";
    }
}

// A 16:9 camera (red left of 0.2, blue right of 0.8) on a square bubble: cover fills the square
// and crops left and right; contain shows the whole width with transparent bars above and below
// (the screen shows through); mirror flips it; an aspect of 0 means no correction, as 1.
TEST_P(CameraCompositeTest, CoverCropsContainLetterboxesMirrorFlips) {
    const auto camera = Picture(160, 90, [](float u) {
        return u < 0.2f ? kRed : u > 0.8f ? kBlue : kGreen;
    });
    CameraCompositeConstants k = Bubble(0, 0, 1, 1, 0);
    k.borderMisc[1] = 16.0f / 9;
    const auto cover = Draw(camera.get(), 64, 64, k);
    for (uint32_t y = 1; y < 62; y += 3) {  // the outermost pixels blend with the screen
        for (uint32_t x = 1; x < 62; x += 3)
            ASSERT_EQ(At(*cover, x, y), kGreen) << x << "," << y;
    }
    k.shape[2] = 0;
    const auto contain = Draw(camera.get(), 64, 64, k);
    // The picture's height is 9/16 of the square: bars of 14 rows above and below.
    for (const uint32_t y : {0u, 13u, 50u, 63u})
        EXPECT_EQ(At(*contain, 32, y), kScreen) << "bar row " << y;
    EXPECT_EQ(At(*contain, 2, 32), kRed);
    EXPECT_EQ(At(*contain, 32, 16), kGreen);
    EXPECT_EQ(At(*contain, 61, 32), kBlue);
    k.shape[1] = 1;
    const auto mirrored = Draw(camera.get(), 64, 64, k);
    EXPECT_EQ(At(*mirrored, 2, 32), kBlue);
    EXPECT_EQ(At(*mirrored, 61, 32), kRed);

    for (const float fit : {0.0f, 1.0f}) {
        k = Bubble(0.1f, 0.2f, 0.5f, 0.6f, 0.4f);
        k.shape[2] = fit;
        const auto one = Draw(camera.get(), 50, 40, k);
        k.borderMisc[1] = 0;
        EXPECT_EQ(Bytes(*Draw(camera.get(), 50, 40, k)), Bytes(*one)) << "aspect 0, fit " << fit;
    }
}

// The border is a ring along the inside of the circle's edge; a border colour with alpha 0 draws
// nothing whatever its width. Dashed, the ring is drawn where the angular position around the
// centre falls in the second half of each dash cycle, the camera showing between the dashes.
TEST_P(CameraCompositeTest, BorderRingSolidTransparentAndDashed) {
    const auto camera = Solid(10, 10, kGreen);
    constexpr uint32_t kSize = 160;
    CameraCompositeConstants k = Bubble(0, 0, 1, 1, 1);
    const std::vector<uint8_t> none = Bytes(*Draw(camera.get(), kSize, kSize, k));
    k.borderMisc[0] = 0.2f;
    k.borderColor[3] = 0;
    EXPECT_EQ(Bytes(*Draw(camera.get(), kSize, kSize, k)), none) << "transparent border";

    k.borderColor[0] = k.borderColor[3] = 1;  // opaque red
    const auto solid = Draw(camera.get(), kSize, kSize, k);
    k.borderMisc[2] = 1;
    const auto dashed = Draw(camera.get(), kSize, kSize, k);
    const double cycle = std::max(0.06, 0.2 * 0.35);
    int dashes = 0, gaps = 0;
    for (uint32_t y = 0; y < kSize; ++y) {
        for (uint32_t x = 0; x < kSize; ++x) {
            const double u = 2 * (x + 0.5) / kSize - 1, v = 2 * (y + 0.5) / kSize - 1;
            const double r = std::hypot(u, v);
            if (r < 0.5) {
                ASSERT_EQ(At(*solid, x, y), kGreen) << "inside the ring " << x << "," << y;
            }
            if (r < 0.84 || r > 0.94)
                continue;
            ASSERT_EQ(At(*solid, x, y), kRed) << "on the ring " << x << "," << y;
            const double t = (std::atan2(v, u) + M_PI) / (2 * M_PI) / cycle;
            const double position = t - std::floor(t);
            if (position > 0.55 && position < 0.95) {
                ASSERT_EQ(At(*dashed, x, y), kRed) << "dash " << x << "," << y;
                ++dashes;
            } else if (position > 0.05 && position < 0.45) {
                ASSERT_EQ(At(*dashed, x, y), kGreen) << "gap " << x << "," << y;
                ++gaps;
            }
        }
    }
    EXPECT_GT(dashes, 100);
    EXPECT_GT(gaps, 100);
}

// The blend: colour = camera x a + screen x (1 - a), alpha = a + screen alpha x (1 - a), with
// a = the opacity at the bubble's centre; the camera's own alpha plays no part.
TEST_P(CameraCompositeTest, BlendsWithOpacityOverTheScreen) {
    CameraCompositeConstants k = Bubble(0, 0, 1, 1, 1);
    k.shape[3] = 0.25f;
    const Pixel centre = At(*Draw(Solid(4, 4, {200, 100, 52, 0}).get(), 32, 32, k), 16, 16);
    // 200 x 0.25 + 40 x 0.75 = 80, ..., 255 x 0.25 + 90 x 0.75 = 131.25
    EXPECT_EQ(centre, (Pixel{80, 70, 73, 131}));
}

INSTANTIATE_TEST_SUITE_P(Variants, CameraCompositeTest, CameraCompositeTest::Indices(),
                         CameraCompositeTest::Name);

}  // namespace
}  // namespace tamro::shaders
