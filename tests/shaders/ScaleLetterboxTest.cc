#include <gtest/gtest.h>
#include <libyuv/cpu_id.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/gfx/Device.h"
#include "shaders/ScaleLetterbox.h"
#include "shaders/VariantTest.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

struct ScaleCase {
    const char* name;
    uint32_t inWidth, inHeight, outWidth, outHeight;
    LetterboxConstants rect;
};

// The kernel's output, every row of it, for an input of random pixels; the rows of both are
// padded and their last byte lies right before an untouchable page.
std::vector<uint8_t> Scale(const ScaleCase& c) {
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    std::mt19937 random(c.inWidth);
    const test::GuardedTexture in(*device, c.inWidth, c.inHeight, gfx::Format::kBGRA8,
                                  c.inWidth * 4 + 28, random);
    const test::GuardedTexture out(*device, c.outWidth, c.outHeight, gfx::Format::kBGRA8,
                                   c.outWidth * 4 + 20, random);
    gfx::Texture* inputs[] = {in.texture.get()};
    gfx::Texture* outputs[] = {out.texture.get()};
    EXPECT_EQ(ScaleLetterbox({inputs, outputs, &c.rect, sizeof(c.rect)}, {}), kOk);
    return out.Pixels();
}

// The kernel's rows are libyuv's, which picks them by processor once: its optimised rows give the
// bytes of its plain C rows, which masking the processor's features forces (as libyuv's own tests
// do), and everything outside the rectangle is opaque black.
TEST(ScaleLetterboxTest, OptimisedRowsMatchThePlainOnesAndBarsAreBlack) {
    for (const ScaleCase& c :
         {ScaleCase{"UpscalePillarbox", 161, 121, 322, 182, {0, 0, 40, 0, 282, 182}},
          ScaleCase{"DownscaleLetterbox", 643, 481, 258, 250, {0, 0, 0, 28, 258, 222}},
          ScaleCase{"OddCaptureCropped", 1001, 601, 1000, 600, {1000, 600, 0, 0, 1000, 600}},
          ScaleCase{"PartOfTheInput", 333, 217, 190, 94, {121, 77, 6, 4, 185, 90}}}) {
        SCOPED_TRACE(c.name);
        libyuv::MaskCpuFlags(libyuv::kCpuInitialized);
        const std::vector<uint8_t> plain = Scale(c);
        libyuv::MaskCpuFlags(-1);
        EXPECT_EQ(Scale(c), plain);
        for (uint32_t y = 0; y < c.outHeight; ++y) {
            for (uint32_t x = 0; x < c.outWidth; ++x) {
                if (x >= c.rect.left && x < c.rect.right && y >= c.rect.top && y < c.rect.bottom)
                    continue;
                uint32_t pixel;
                std::memcpy(&pixel, &plain[(y * c.outWidth + x) * 4], 4);
                ASSERT_EQ(pixel, 0xFF000000u) << x << "," << y;
            }
        }
    }
}

}  // namespace
}  // namespace tamro::shaders
