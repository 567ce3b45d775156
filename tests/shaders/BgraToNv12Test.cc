#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "platform/gfx/Device.h"
#include "shaders/BgraToNv12.h"
#include "shaders/VariantTest.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

using BgraToNv12RowTest = test::VariantTest<BgraToNv12RowPairs>;

// Every variant gives the reference's bytes at every width (odd numbers of pixel pairs, tails
// shorter than a vector), in both memory orders. Each row lies in memory of its own, ending right
// before a page that cannot be touched; or, for the first row of the pair and its luma, starting
// unaligned with padding after it, which must stay untouched.
TEST_P(BgraToNv12RowTest, MatchesTheReferenceAtEveryWidthStartAndStride) {
    std::vector<uint32_t> widths{1918};
    for (uint32_t width = 2; width <= 134; width += 2)
        widths.push_back(width);
    for (const uint32_t width : widths) {
        for (const uint32_t pad : {0u, 1u, 3u, 20u}) {
            for (const bool redFirst : {false, true}) {
                const auto convert = [&](Nv12RowPairFunction row, uint8_t* const* b) {
                    row(b[0], b[1], b[2], b[3], b[4], width, redFirst);
                };
                EXPECT_TRUE(
                    SameBytes({width * 4 + pad, width * 4, width + pad, width, width}, convert))
                    << "width " << width << " pad " << pad << " redFirst " << redFirst;
            }
        }
    }
}

// Luma within one step of (0.2126 R + 0.7152 G + 0.0722 B) x 219/255 + 16, chroma of each 2x2
// block's mean within rounding of the BT.709 differences x 224/255 + 128; the converter's colours
// (ColorConverterTest) in the first blocks exactly.
TEST_P(BgraToNv12RowTest, FollowsTheBt709LimitedRangeFormulas) {
    constexpr uint32_t kWidth = 1024;
    // B, G, R and the Y, U, V they give: white, black, red, blue, grey.
    constexpr std::array<uint8_t, 3> kColours[][2] = {{{255, 255, 255}, {235, 128, 128}},
                                                      {{0, 0, 0}, {16, 128, 128}},
                                                      {{0, 0, 255}, {63, 102, 240}},
                                                      {{255, 0, 0}, {32, 240, 118}},
                                                      {{128, 128, 128}, {126, 128, 128}}};
    std::mt19937 random(3);
    std::vector<uint8_t> rows(kWidth * 8);
    for (uint8_t& byte : rows)
        byte = static_cast<uint8_t>(random());
    for (uint32_t i = 0; i < std::size(kColours); ++i) {
        for (const uint32_t at : {i * 8, i * 8 + 4, (kWidth + i * 2) * 4, (kWidth + i * 2) * 4 + 4})
            std::copy_n(kColours[i][0].begin(), 3, &rows[at]);
    }
    std::vector<uint8_t> out(kWidth * 3);
    Variant().row(rows.data(), rows.data() + kWidth * 4, out.data(), out.data() + kWidth,
                  out.data() + 2 * kWidth, kWidth, false);
    for (uint32_t i = 0; i < std::size(kColours); ++i) {
        const std::array<uint8_t, 3> yuv{out[i * 2], out[2 * kWidth + i * 2],
                                         out[2 * kWidth + i * 2 + 1]};
        EXPECT_EQ(yuv, kColours[i][1]) << "colour " << i;
    }
    for (uint32_t x = 0; x < kWidth; x += 2) {
        const uint8_t* p = rows.data() + x * 4;
        const float luma = (0.2126f * p[2] + 0.7152f * p[1] + 0.0722f * p[0]) * 219 / 255;
        EXPECT_NEAR(out[x], luma + 16.0f, 1.0f) << x;
        float r = 0, g = 0, b = 0;
        for (const uint8_t* q : {p, p + 4, p + kWidth * 4, p + kWidth * 4 + 4})
            r += q[2] / 4.0f, g += q[1] / 4.0f, b += q[0] / 4.0f;
        const float u = (-0.114572f * r - 0.385428f * g + 0.5f * b) * 224 / 255 + 128;
        const float v = (0.5f * r - 0.454153f * g - 0.045847f * b) * 224 / 255 + 128;
        EXPECT_NEAR(out[2 * kWidth + x], u, 0.6f) << x;
        EXPECT_NEAR(out[2 * kWidth + x + 1], v, 0.6f) << x;
    }
}

// The kernel, as the device dispatches it in bands, runs the variant forced on it: over textures
// whose rows are padded, the input's last byte right before an untouchable page.
TEST_P(BgraToNv12RowTest, TheDispatchedKernelRunsTheForcedVariant) {
    constexpr uint32_t kWidth = 126, kHeight = 38, kLumaPitch = kWidth + 9;
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    std::mt19937 random(5);
    const test::GuardedTexture frame(*device, kWidth, kHeight, gfx::Format::kBGRA8, kWidth * 4 + 36,
                                     random);
    const test::GuardedTexture luma(*device, kWidth, kHeight, gfx::Format::kR8, kLumaPitch, random);
    const test::GuardedTexture chroma(*device, kWidth / 2, kHeight / 2, gfx::Format::kR8G8,
                                      kLumaPitch, random);
    const gfx::Kernel* kernel = nullptr;
    ASSERT_EQ(device->CompileKernel("BgraToNv12", &kernel), kOk);
    gfx::Texture* inputs[] = {frame.texture.get()};
    gfx::Texture* outputs[] = {luma.texture.get(), chroma.texture.get()};
    device->ImmediateContext().SetParallelism(2);
    ASSERT_EQ(device->ImmediateContext().Dispatch(*kernel, {inputs, outputs}), kOk);
    std::vector<uint8_t> expectedLuma(kWidth * kHeight), expectedChroma(kWidth * kHeight / 2);
    for (uint32_t y = 0; y < kHeight; y += 2) {
        Reference().row(frame.texture->Row(y), frame.texture->Row(y + 1), &expectedLuma[y * kWidth],
                        &expectedLuma[(y + 1) * kWidth], &expectedChroma[y / 2 * kWidth], kWidth,
                        false);
    }
    EXPECT_EQ(luma.Pixels(), expectedLuma);
    EXPECT_EQ(chroma.Pixels(), expectedChroma);
}

INSTANTIATE_TEST_SUITE_P(Variants, BgraToNv12RowTest, BgraToNv12RowTest::Indices(),
                         BgraToNv12RowTest::Name);

// Unforced, the kernel runs the last variant of its table that this processor runs.
TEST(BgraToNv12RowSelectionTest, ChoosesTheFastestVariantTheProcessorRuns) {
    const auto& selection = BgraToNv12RowPairs();
    EXPECT_EQ(selection.Reference().name, "plain");
    EXPECT_TRUE(selection.Selected().Runs());
    for (const auto& variant : selection.Variants())
        EXPECT_FALSE(&variant > &selection.Selected() && variant.Runs()) << variant.name;
}

}  // namespace
}  // namespace tamro::shaders
