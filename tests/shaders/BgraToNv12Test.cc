#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "platform/gfx/Device.h"
#include "platform/gfx/Texture.h"
#include "shaders/BgraToNv12.h"
#include "shaders/VariantTest.h"
#include "support/GuardedBuffer.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

using test::GuardedBuffer;

class BgraToNv12RowTest : public test::VariantTest<Nv12RowPairFunction> {
  protected:
    RowSelection<Nv12RowPairFunction>& Selection() const override { return BgraToNv12RowPairs(); }
};

// Every variant gives the reference's bytes at every width (odd numbers of pixel pairs, tails
// shorter than a vector), from unaligned starts, with rows further apart than their pixels, in
// both memory orders.
TEST_P(BgraToNv12RowTest, MatchesTheReferenceAtEveryWidthStartAndStride) {
    std::mt19937 random(7);
    for (uint32_t width = 2; width <= 134; width += 2) {
        for (const uint32_t start : {0u, 1u, 3u}) {
            const uint32_t stride = width * 4 + (start ? 20 : 0);
            std::vector<uint8_t> rows(start + stride + width * 4);
            for (uint8_t& byte : rows)
                byte = static_cast<uint8_t>(random());
            const uint8_t* row0 = rows.data() + start;
            const uint8_t* row1 = row0 + stride;
            for (const bool redFirst : {false, true}) {
                std::vector<uint8_t> expected(width * 3), actual(width * 3 + start);
                uint8_t* out = actual.data() + start;
                Reference().row(row0, row1, expected.data(), expected.data() + width,
                                expected.data() + 2 * width, width, redFirst);
                Variant().row(row0, row1, out, out + width, out + 2 * width, width, redFirst);
                ASSERT_EQ(std::vector<uint8_t>(out, out + width * 3), expected)
                    << "width " << width << " start " << start << " redFirst " << redFirst;
            }
        }
    }
}

// Each row read and written ends right before a page that cannot be touched: reading or writing
// one byte past the row crashes.
TEST_P(BgraToNv12RowTest, TouchesNothingPastItsRows) {
    std::mt19937 random(11);
    for (const uint32_t width : {2u, 30u, 32u, 34u, 62u, 64u, 66u, 1918u}) {
        GuardedBuffer row0(width * 4), row1(width * 4), luma0(width), luma1(width), chroma(width);
        row0.Fill(random);
        row1.Fill(random);
        Variant().row(row0.data(), row1.data(), luma0.data(), luma1.data(), chroma.data(), width,
                      false);
        std::vector<uint8_t> expected(width * 3);
        Reference().row(row0.data(), row1.data(), expected.data(), expected.data() + width,
                        expected.data() + 2 * width, width, false);
        EXPECT_EQ(std::memcmp(luma0.data(), expected.data(), width), 0) << width;
        EXPECT_EQ(std::memcmp(luma1.data(), expected.data() + width, width), 0) << width;
        EXPECT_EQ(std::memcmp(chroma.data(), expected.data() + 2 * width, width), 0) << width;
    }
}

// Luma within one step of (0.2126 R + 0.7152 G + 0.0722 B) x 219/255 + 16, chroma of each 2x2
// block's mean within rounding of the BT.709 differences x 224/255 + 128.
TEST_P(BgraToNv12RowTest, FollowsTheBt709LimitedRangeFormulas) {
    constexpr uint32_t kWidth = 1024;
    std::mt19937 random(3);
    std::vector<uint8_t> rows(kWidth * 8);
    for (uint8_t& byte : rows)
        byte = static_cast<uint8_t>(random());
    std::vector<uint8_t> out(kWidth * 3);
    Variant().row(rows.data(), rows.data() + kWidth * 4, out.data(), out.data() + kWidth,
                  out.data() + 2 * kWidth, kWidth, false);
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

// The values the converter's tests hold (tests/encode/ColorConverterTest.cc), from every variant
// (66 pixels: whole vectors and a tail).
TEST_P(BgraToNv12RowTest, GivesTheConvertersColours) {
    struct Case {
        uint8_t b, g, r;
        std::tuple<int, int, int> yuv;
    };
    constexpr uint32_t kWidth = 66;
    for (const Case& c : {Case{255, 255, 255, {235, 128, 128}}, Case{0, 0, 0, {16, 128, 128}},
                          Case{0, 0, 255, {63, 102, 240}}, Case{255, 0, 0, {32, 240, 118}},
                          Case{128, 128, 128, {126, 128, 128}}}) {
        std::vector<uint8_t> row(kWidth * 4);
        for (uint32_t x = 0; x < kWidth; ++x)
            row[x * 4] = c.b, row[x * 4 + 1] = c.g, row[x * 4 + 2] = c.r, row[x * 4 + 3] = 255;
        std::vector<uint8_t> out(kWidth * 3);
        Variant().row(row.data(), row.data(), out.data(), out.data() + kWidth,
                      out.data() + 2 * kWidth, kWidth, false);
        for (const uint32_t x : {0u, 30u, 64u}) {
            const std::tuple<int, int, int> yuv{out[x], out[2 * kWidth + x],
                                                out[2 * kWidth + x + 1]};
            EXPECT_EQ(yuv, c.yuv) << x;
        }
    }
}

// The kernel, as the device dispatches it in bands, runs the variant forced on it: over textures
// whose rows are padded, the input's last byte right before an untouchable page.
TEST_P(BgraToNv12RowTest, TheDispatchedKernelRunsTheForcedVariant) {
    constexpr uint32_t kWidth = 126, kHeight = 38;
    constexpr uint32_t kPitch = kWidth * 4 + 36, kLumaPitch = kWidth + 9;
    const test::ForceRowVariant forced(BgraToNv12RowPairs(), Variant());
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    GuardedBuffer input(kPitch * (kHeight - 1) + kWidth * 4);
    std::mt19937 random(5);
    input.Fill(random);
    GuardedBuffer luma(kLumaPitch * (kHeight - 1) + kWidth);
    GuardedBuffer chroma(kLumaPitch * (kHeight / 2 - 1) + kWidth);
    gfx::TextureDesc desc{.width = kWidth, .height = kHeight, .format = gfx::Format::kBGRA8};
    std::shared_ptr<gfx::Texture> frame, lumaPlane, chromaPlane;
    ASSERT_EQ(device->WrapTexture(desc, input.data(), kPitch, {}, &frame), kOk);
    desc.format = gfx::Format::kR8;
    ASSERT_EQ(device->WrapTexture(desc, luma.data(), kLumaPitch, {}, &lumaPlane), kOk);
    desc = {.width = kWidth / 2, .height = kHeight / 2, .format = gfx::Format::kR8G8};
    ASSERT_EQ(device->WrapTexture(desc, chroma.data(), kLumaPitch, {}, &chromaPlane), kOk);
    const gfx::Kernel* kernel = nullptr;
    ASSERT_EQ(device->CompileKernel("BgraToNv12", &kernel), kOk);
    gfx::Texture* inputs[] = {frame.get()};
    gfx::Texture* outputs[] = {lumaPlane.get(), chromaPlane.get()};
    device->ImmediateContext().SetParallelism(2);
    ASSERT_EQ(device->ImmediateContext().Dispatch(*kernel, {inputs, outputs}), kOk);
    std::vector<uint8_t> expected(kWidth * 3);
    for (uint32_t y = 0; y < kHeight; y += 2) {
        Reference().row(frame->Row(y), frame->Row(y + 1), expected.data(), expected.data() + kWidth,
                        expected.data() + 2 * kWidth, kWidth, false);
        ASSERT_EQ(std::memcmp(lumaPlane->Row(y), expected.data(), kWidth), 0) << y;
        ASSERT_EQ(std::memcmp(lumaPlane->Row(y + 1), expected.data() + kWidth, kWidth), 0) << y;
        ASSERT_EQ(std::memcmp(chromaPlane->Row(y / 2), expected.data() + 2 * kWidth, kWidth), 0)
            << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, BgraToNv12RowTest, test::VariantIndices(BgraToNv12RowPairs()),
                         test::VariantNamer(BgraToNv12RowPairs()));

// Unforced, the kernel runs the last variant of its table that this processor runs.
TEST(BgraToNv12RowSelectionTest, ChoosesTheFastestVariantTheProcessorRuns) {
    const auto& selection = BgraToNv12RowPairs();
    EXPECT_EQ(selection.Reference().name, "plain");
    EXPECT_TRUE(selection.Selected().Runs());
    for (const auto& variant : selection.Variants()) {
        if (&variant > &selection.Selected()) {
            EXPECT_FALSE(variant.Runs()) << variant.name;
        }
    }
}

}  // namespace
}  // namespace tamro::shaders
