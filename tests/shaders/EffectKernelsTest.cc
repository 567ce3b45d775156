#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "platform/gfx/Device.h"
#include "shaders/EffectBlur.h"
#include "shaders/EffectComposite.h"
#include "shaders/EffectFill.h"
#include "shaders/VariantTest.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

using gfx::Format;
using Pixel = std::array<uint8_t, 4>;

std::shared_ptr<gfx::Device> NewDevice() {
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    device->ImmediateContext().SetParallelism(2);
    return device;
}

// Runs kernel `name` through the device's banded dispatch.
template <typename Constants>
int32_t Dispatch(gfx::Device& device, std::string_view name, std::vector<gfx::Texture*> inputs,
                 gfx::Texture* out, const Constants& k) {
    const gfx::Kernel* kernel = nullptr;
    EXPECT_EQ(device.CompileKernel(name, &kernel), kOk);
    return device.ImmediateContext().Dispatch(*kernel, {inputs, {&out, 1}, &k, sizeof(k)});
}

std::shared_ptr<gfx::Texture> Filled(gfx::Device& device, uint32_t width, uint32_t height,
                                     Format format, const std::vector<uint8_t>& bytes) {
    std::shared_ptr<gfx::Texture> texture;
    EXPECT_EQ(device.CreateTexture({.width = width, .height = height, .format = format},
                                   bytes.data(), width * 4, &texture),
              kOk);
    return texture;
}

std::shared_ptr<gfx::Texture> Mask(gfx::Device& device, uint32_t width, uint32_t height,
                                   const std::vector<float>& values) {
    std::vector<uint8_t> bytes(values.size() * 4);
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return Filled(device, width, height, Format::kR32F, bytes);
}

Pixel At(const gfx::Texture& texture, uint32_t x, uint32_t y) {
    const uint8_t* p = texture.Row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

// Runs `draw` (given the inputs and the output) once with the reference forced and once with the
// variant, each over guarded random textures with padded rows: the outputs must be the same bytes.
template <typename Selection, typename Variant, typename Draw>
void ExpectSameAsReference(Selection& selection, const Variant& variant,
                           std::vector<std::array<uint32_t, 3>> inputSizes, uint32_t width,
                           uint32_t height, Draw draw) {
    auto device = NewDevice();
    std::vector<uint8_t> results[2];
    for (int i = 0; i < 2; ++i) {
        selection.ForceForTesting(i == 0 ? &selection.Reference() : &variant);
        std::mt19937 random(width * 31 + height);
        std::vector<std::unique_ptr<test::GuardedTexture>> inputs;
        std::vector<gfx::Texture*> textures;
        for (const auto& [w, h, format] : inputSizes) {
            inputs.push_back(std::make_unique<test::GuardedTexture>(
                *device, w, h, static_cast<Format>(format), w * 4 + 12, random));
            textures.push_back(inputs.back()->texture.get());
        }
        const test::GuardedTexture out(*device, width, height, Format::kBGRA8, width * 4 + 20,
                                       random);
        draw(*device, textures, out.texture.get(), random);
        results[i] = out.Pixels();
    }
    selection.ForceForTesting(&variant);
    EXPECT_TRUE(results[0] == results[1]) << width << "x" << height;
}

constexpr uint32_t kBgra = static_cast<uint32_t>(Format::kBGRA8);
constexpr uint32_t kRgba = static_cast<uint32_t>(Format::kRGBA8);
constexpr std::array<uint32_t, 2> kOddSizes[] = {{37, 23}, {641, 359}, {5, 70}};

using BlurHorizontalTest = test::VariantTest<BlurHorizontalRows>;
using BlurVerticalTest = test::VariantTest<BlurVerticalRows>;
using MaskCompositeTest = test::VariantTest<MaskCompositeRows>;
using ImageCoverTest = test::VariantTest<ImageCoverRows>;

// Radii from a plain copy through the capped 40, across rows shorter than the aprons.
TEST_P(BlurHorizontalTest, MatchesTheReferenceAtOddSizes) {
    for (const auto& [width, height] : kOddSizes) {
        for (const float radius : {0.0f, 1.0f, 8.0f, 25.0f, 40.0f}) {
            ExpectSameAsReference(BlurHorizontalRows(), Variant(), {{width, height, kBgra}}, width,
                                  height, [&](gfx::Device& d, auto in, auto* out, auto&) {
                                      ASSERT_EQ(Dispatch(d, "EffectBlurHorizontal", in, out,
                                                         BlurConstants{radius, 0, 0, 0}),
                                                kOk);
                                  });
        }
    }
}

TEST_P(BlurVerticalTest, MatchesTheReferenceAtOddSizes) {
    for (const auto& [width, height] : kOddSizes) {
        for (const float radius : {0.0f, 1.0f, 15.0f, 25.0f, 40.0f}) {
            ExpectSameAsReference(BlurVerticalRows(), Variant(), {{width, height, kBgra}}, width,
                                  height, [&](gfx::Device& d, auto in, auto* out, auto&) {
                                      ASSERT_EQ(Dispatch(d, "EffectBlurVertical", in, out,
                                                         BlurConstants{radius, 0, 0, 0}),
                                                kOk);
                                  });
        }
    }
}

// Masks of random values (beyond 0..1 too) in patches of all-background, all-person and mixed
// texels, letterboxed so that frame pixels fall outside them on every side, sampled finer and
// coarser than the frame, with the background read as it is and exchanged.
TEST_P(MaskCompositeTest, MatchesTheReferenceAtOddSizes) {
    for (const auto& [width, height] : kOddSizes) {
        for (const float exchanged : {0.0f, 1.0f}) {
            for (const float scale : {33.0f / static_cast<float>(width), 1.7f}) {
                ExpectSameAsReference(
                    MaskCompositeRows(), Variant(),
                    {{width, height, kBgra}, {width, height, kRgba}}, width, height,
                    [&](gfx::Device& d, auto in, auto* out, std::mt19937& random) {
                        std::uniform_real_distribution<float> value(-0.2f, 1.2f);
                        std::vector<float> values(31 * 17);
                        for (size_t i = 0; i < values.size(); ++i) {
                            const float v = value(random);
                            const size_t patch = (i % 31 / 6 + i / 31 / 5) % 3;
                            values[i] = patch == 0   ? std::min(v, 0.02f)
                                        : patch == 1 ? std::max(v, 0.98f)
                                                     : v;
                        }
                        const auto mask = Mask(d, 31, 17, values);
                        in.push_back(mask.get());
                        ASSERT_EQ(Dispatch(d, "EffectMaskComposite", in, out,
                                           CompositeConstants{scale, -1.5f, -2.25f, exchanged}),
                                  kOk);
                    });
            }
        }
    }
}

// Pictures wider and taller than the frame, smaller and larger, in both channel orders.
TEST_P(ImageCoverTest, MatchesTheReferenceAtOddSizes) {
    for (const auto& [width, height] : kOddSizes) {
        for (const auto& [pw, ph, format] :
             {std::array<uint32_t, 3>{97, 13, kRgba}, {11, 301, kBgra}, {1283, 722, kRgba}}) {
            ExpectSameAsReference(ImageCoverRows(), Variant(), {{pw, ph, format}}, width, height,
                                  [&](gfx::Device& d, auto in, auto* out, auto&) {
                                      const ImageCoverConstants k{
                                          static_cast<float>(pw), static_cast<float>(ph),
                                          static_cast<float>(width), static_cast<float>(height)};
                                      ASSERT_EQ(Dispatch(d, "EffectImageCover", in, out, k), kOk);
                                  });
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, BlurHorizontalTest, BlurHorizontalTest::Indices(),
                         BlurHorizontalTest::Name);
INSTANTIATE_TEST_SUITE_P(Variants, BlurVerticalTest, BlurVerticalTest::Indices(),
                         BlurVerticalTest::Name);
INSTANTIATE_TEST_SUITE_P(Variants, MaskCompositeTest, MaskCompositeTest::Indices(),
                         MaskCompositeTest::Name);
INSTANTIATE_TEST_SUITE_P(Variants, ImageCoverTest, ImageCoverTest::Indices(), ImageCoverTest::Name);

// Each pass against the Gaussian computed in doubles, on random pictures: within 1 everywhere.
TEST(EffectBlurTest, IsWithinOneOfTheGaussian) {
    auto device = NewDevice();
    constexpr int32_t kWidth = 83, kHeight = 71;
    std::mt19937 random(7);
    std::vector<uint8_t> bytes(kWidth * kHeight * 4);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    const auto source = Filled(*device, kWidth, kHeight, Format::kBGRA8, bytes);
    const auto out = Filled(*device, kWidth, kHeight, Format::kRGBA8, {});
    for (const int32_t radius : {1, 4, 11, 25, 32}) {
        std::vector<double> weight(radius + 1);
        double total = 0;
        for (int32_t i = 0; i <= radius; ++i) {
            weight[i] = std::exp(-i * i / (2.0 * radius * radius));
            total += i == 0 ? weight[i] : 2 * weight[i];
        }
        for (const bool across : {true, false}) {
            ASSERT_EQ(Dispatch(*device, across ? "EffectBlurHorizontal" : "EffectBlurVertical",
                               {source.get()}, out.get(),
                               BlurConstants{static_cast<float>(radius), 0, 0, 0}),
                      kOk);
            int32_t worst = 0;
            for (int32_t y = 0; y < kHeight; ++y) {
                for (int32_t x = 0; x < kWidth; ++x) {
                    for (int32_t c = 0; c < 4; ++c) {
                        const int32_t from = across ? (c == 1 || c == 3 ? c : 2 - c) : c;
                        double sum = 0;
                        for (int32_t i = -radius; i <= radius; ++i) {
                            const int32_t sx = across ? std::clamp(x + i, 0, kWidth - 1) : x;
                            const int32_t sy = across ? y : std::clamp(y + i, 0, kHeight - 1);
                            sum += bytes[(sy * kWidth + sx) * 4 + from] * weight[std::abs(i)];
                        }
                        const auto expected = static_cast<int32_t>(std::lround(sum / total));
                        worst = std::max(worst, std::abs(out->Row(y)[x * 4 + c] - expected));
                    }
                }
            }
            EXPECT_LE(worst, 1) << "radius " << radius << (across ? " across" : " down");
        }
    }
}

// The weights sum to 1, so a flat picture stays flat through both passes (the horizontal one
// exchanging bytes 0 and 2), and a single bright column spreads symmetrically.
TEST(EffectBlurTest, KeepsFlatPicturesAndSpreadsSymmetrically) {
    auto device = NewDevice();
    constexpr uint32_t kWidth = 101, kHeight = 67;
    std::vector<uint8_t> flat(kWidth * kHeight * 4), line(kWidth * kHeight * 4, 0);
    for (size_t i = 0; i < flat.size(); ++i)
        flat[i] = static_cast<uint8_t>(10 + 20 * (i % 4));
    for (uint32_t y = 0; y < kHeight; ++y)
        line[(y * kWidth + 50) * 4 + 1] = 255;
    const auto source = Filled(*device, kWidth, kHeight, Format::kBGRA8, flat);
    const auto across = Filled(*device, kWidth, kHeight, Format::kRGBA8, {});
    const auto down = Filled(*device, kWidth, kHeight, Format::kRGBA8, {});
    ASSERT_EQ(Dispatch(*device, "EffectBlurHorizontal", {source.get()}, across.get(),
                       BlurConstants{25, 0, 0, 0}),
              kOk);
    ASSERT_EQ(Dispatch(*device, "EffectBlurVertical", {across.get()}, down.get(),
                       BlurConstants{25, 0, 0, 0}),
              kOk);
    for (const auto& [x, y] : {std::array<uint32_t, 2>{0, 0}, {50, 33}, {100, 66}})
        EXPECT_EQ(At(*down, x, y), (Pixel{50, 30, 10, 70}));
    const auto bright = Filled(*device, kWidth, kHeight, Format::kBGRA8, line);
    ASSERT_EQ(Dispatch(*device, "EffectBlurHorizontal", {bright.get()}, across.get(),
                       BlurConstants{8, 0, 0, 0}),
              kOk);
    const BlurTaps taps = BlurTapsFor(8);
    for (int i = 0; i <= 9; ++i) {
        const float expected = i <= 8 ? 255 * taps.weight[i] : 0;
        EXPECT_NEAR(At(*across, 50 + i, 5)[1], expected, 1.0f) << i;
        EXPECT_EQ(At(*across, 50 + i, 5)[1], At(*across, 50 - i, 5)[1]) << i;
    }
}

TEST(EffectFillTest, FillsInTheOutputsChannelOrder) {
    auto device = NewDevice();
    for (const auto& [format, expected] : {std::pair{Format::kBGRA8, Pixel{51, 26, 255, 128}},
                                           std::pair{Format::kRGBA8, Pixel{255, 26, 51, 128}}}) {
        const auto out = Filled(*device, 9, 130, format, {});
        ASSERT_EQ(Dispatch(*device, "EffectColorFill", {}, out.get(),
                           FillColorConstants{{1.3f, 0.1f, 0.2f, 0.5f}}),
                  kOk);
        EXPECT_EQ(At(*out, 0, 0), expected);
        EXPECT_EQ(At(*out, 8, 129), expected);
    }
    // Row y at y / height: the first row is the start colour, the last one step short of the end.
    const auto out = Filled(*device, 3, 100, Format::kRGBA8, {});
    ASSERT_EQ(Dispatch(*device, "EffectGradientFill", {}, out.get(),
                       GradientConstants{{0, 0.4f, 1, 1}, {1, 0.4f, 0, 1}}),
              kOk);
    EXPECT_EQ(At(*out, 2, 0), (Pixel{0, 102, 255, 255}));
    EXPECT_EQ(At(*out, 0, 50), (Pixel{128, 102, 128, 255}));
    EXPECT_EQ(At(*out, 1, 99), (Pixel{252, 102, 3, 255}));
    const auto swapped = Filled(*device, 3, 100, Format::kBGRA8, {});
    ASSERT_EQ(Dispatch(*device, "EffectChannelSwap", {out.get()}, swapped.get(), 0), kOk);
    EXPECT_EQ(At(*swapped, 1, 99), (Pixel{3, 102, 252, 255}));
}

// A picture of four times the frame's aspect fills its height and is cropped to its middle half;
// columns interpolate linearly between texels, and RGBA becomes BGRA.
TEST(EffectImageCoverTest, CentresAndCropsThePicture) {
    auto device = NewDevice();
    std::vector<uint8_t> picture(40 * 10 * 4);
    for (uint32_t i = 0; i < 40 * 10; ++i) {
        picture[i * 4] = static_cast<uint8_t>(6 * (i % 40));       // red by column
        picture[i * 4 + 2] = static_cast<uint8_t>(20 * (i / 40));  // blue by row
    }
    const auto source = Filled(*device, 40, 10, Format::kRGBA8, picture);
    const auto out = Filled(*device, 20, 10, Format::kBGRA8, {});
    ASSERT_EQ(Dispatch(*device, "EffectImageCover", {source.get()}, out.get(),
                       ImageCoverConstants{40, 10, 20, 10}),
              kOk);
    for (uint32_t x = 0; x < 20; ++x) {
        EXPECT_NEAR(At(*out, x, 3)[2], 6 * (x + 10) * 39.0 / 40, 0.51) << x;
        EXPECT_NEAR(At(*out, x, 3)[0], 20 * 3 * 9.0 / 10, 0.51) << x;
    }
}

// Mask 1 gives the foreground, 0 and outside the letterboxed mask the background; the blend
// eases between 0.02 and 0.98 and samples the mask bilinearly.
TEST(EffectMaskCompositeTest, BlendsByTheSmoothedMask) {
    auto device = NewDevice();
    constexpr uint32_t kWidth = 16, kHeight = 12;
    const auto front = Filled(*device, kWidth, kHeight, Format::kBGRA8,
                              std::vector<uint8_t>(kWidth * kHeight * 4, 200));
    std::vector<uint8_t> backBytes(kWidth * kHeight * 4);
    for (size_t i = 0; i < backBytes.size(); ++i)
        backBytes[i] = static_cast<uint8_t>(std::array{0, 40, 100, 0}[i % 4]);
    const auto back = Filled(*device, kWidth, kHeight, Format::kBGRA8, backBytes);
    // Mask columns 0, 0.02, 0.5, 0.98, 1, 1, 0, 1 on every row; a frame pixel is half a texel.
    const auto mask = Mask(
        *device, 8, 4,
        std::vector<float>{0, 0.02f, 0.5f, 0.98f, 1, 1, 0, 1, 0, 0.02f, 0.5f, 0.98f, 1, 1, 0, 1,
                           0, 0.02f, 0.5f, 0.98f, 1, 1, 0, 1, 0, 0.02f, 0.5f, 0.98f, 1, 1, 0, 1});
    const auto out = Filled(*device, kWidth, kHeight, Format::kBGRA8, {});
    for (const float exchanged : {0.0f, 1.0f}) {
        ASSERT_EQ(Dispatch(*device, "EffectMaskComposite", {front.get(), back.get(), mask.get()},
                           out.get(), CompositeConstants{0.5f, 0, -1, exchanged}),
                  kOk);
        const Pixel background = exchanged > 0 ? Pixel{100, 40, 0, 0} : Pixel{0, 40, 100, 0};
        const Pixel foreground{200, 200, 200, 200};
        EXPECT_EQ(At(*out, 0, 2), background);
        EXPECT_EQ(At(*out, 2, 2), background);  // 0.02
        EXPECT_EQ(At(*out, 6, 2), foreground);  // 0.98
        EXPECT_EQ(At(*out, 8, 2), foreground);  // 1
        const Pixel middle = At(*out, 4, 2);    // 0.5: halfway
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(middle[c], (background[c] + 200) / 2.0, 0.51) << c;
        const Pixel between = At(*out, 13, 2);  // halfway between 0 and 1: 0.5 again
        EXPECT_EQ(between, middle);
        EXPECT_EQ(At(*out, 4, 0), background);   // above the mask (y -1)
        EXPECT_EQ(At(*out, 4, 11), background);  // below it (y 4.5)
        EXPECT_EQ(At(*out, 14, 2), foreground);  // x 7, the last texel
        EXPECT_EQ(At(*out, 15, 2), background);  // x 7.5, beyond it
    }
}

}  // namespace
}  // namespace tamro::shaders
