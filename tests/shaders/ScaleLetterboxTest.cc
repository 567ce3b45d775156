#include <gtest/gtest.h>
#include <libyuv/cpu_id.h>

#include <cstring>
#include <ostream>
#include <random>
#include <vector>

#include "platform/gfx/Device.h"
#include "platform/gfx/Texture.h"
#include "shaders/ScaleLetterbox.h"
#include "support/GuardedBuffer.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

using test::GuardedBuffer;

// The kernel's rows are libyuv's, which picks them by processor once; as in libyuv's own tests,
// masking the processor's features forces its plain C rows, the reference.
class ForceLibyuvPlainRows {
  public:
    ForceLibyuvPlainRows() { libyuv::MaskCpuFlags(libyuv::kCpuInitialized); }
    ~ForceLibyuvPlainRows() { libyuv::MaskCpuFlags(-1); }
    ForceLibyuvPlainRows(const ForceLibyuvPlainRows&) = delete;
    ForceLibyuvPlainRows& operator=(const ForceLibyuvPlainRows&) = delete;
};

struct ScaleCase {
    const char* name;
    uint32_t inWidth, inHeight, outWidth, outHeight;
    LetterboxConstants rect;

    friend void PrintTo(const ScaleCase& c, std::ostream* os) { *os << c.name; }
};

class ScaleLetterboxTest : public ::testing::TestWithParam<ScaleCase> {
  protected:
    // The kernel's output, every row of it, for an input of random pixels whose rows are padded
    // and whose last byte lies right before an untouchable page.
    std::vector<uint8_t> Run() {
        const ScaleCase& c = GetParam();
        const uint32_t pitch = c.inWidth * 4 + 28, outPitch = c.outWidth * 4 + 20;
        GuardedBuffer input(pitch * (c.inHeight - 1) + c.inWidth * 4);
        std::mt19937 random(c.inWidth);
        input.Fill(random);
        GuardedBuffer output(outPitch * (c.outHeight - 1) + c.outWidth * 4);
        std::memset(output.data(), 0x77, output.size());
        auto device = gfx::Device::Create(gfx::DriverType::kHardware);
        std::shared_ptr<gfx::Texture> in, out;
        EXPECT_EQ(device->WrapTexture(
                      {.width = c.inWidth, .height = c.inHeight, .format = gfx::Format::kBGRA8},
                      input.data(), pitch, {}, &in),
                  kOk);
        EXPECT_EQ(device->WrapTexture(
                      {.width = c.outWidth, .height = c.outHeight, .format = gfx::Format::kBGRA8},
                      output.data(), outPitch, {}, &out),
                  kOk);
        gfx::Texture* inputs[] = {in.get()};
        gfx::Texture* outputs[] = {out.get()};
        EXPECT_EQ(ScaleLetterbox({inputs, outputs, &c.rect, sizeof(c.rect)}, {}), kOk);
        std::vector<uint8_t> pixels;
        for (uint32_t y = 0; y < c.outHeight; ++y)
            pixels.insert(pixels.end(), out->Row(y), out->Row(y) + c.outWidth * 4);
        return pixels;
    }
};

// The kernel's rows are libyuv's: its optimised rows give the bytes of its plain C rows, and
// everything outside the rectangle is opaque black.
TEST_P(ScaleLetterboxTest, OptimisedRowsMatchThePlainOnesAndBarsAreBlack) {
    const ScaleCase& c = GetParam();
    std::vector<uint8_t> plain;
    {
        const ForceLibyuvPlainRows forced;
        plain = Run();
    }
    EXPECT_EQ(Run(), plain);
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

INSTANTIATE_TEST_SUITE_P(
    Shapes, ScaleLetterboxTest,
    ::testing::Values(ScaleCase{"UpscalePillarbox", 161, 121, 322, 182, {0, 0, 40, 0, 282, 182}},
                      ScaleCase{"DownscaleLetterbox", 643, 481, 258, 250, {0, 0, 0, 28, 258, 222}},
                      ScaleCase{
                          "OddCaptureCropped", 1001, 601, 1000, 600, {1000, 600, 0, 0, 1000, 600}},
                      ScaleCase{"PartOfTheInput", 333, 217, 190, 94, {121, 77, 6, 4, 185, 90}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tamro::shaders
