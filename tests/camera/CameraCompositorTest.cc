#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "camera/CameraCompositor.h"
#include "platform/gfx/Device.h"
#include "support/LogCapture.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

constexpr uint32_t kScreenColour = 0x80402010;  // B, G, R, A = 0x10, 0x20, 0x40, 0x80
constexpr uint32_t kCameraColour = 0xFF00C000;  // opaque green

class CameraCompositorTest : public ::testing::Test {
  protected:
    std::shared_ptr<gfx::Texture> Make(uint32_t width, uint32_t height, uint32_t colour,
                                       gfx::Usage usage = gfx::Usage::kDefault,
                                       uint32_t bind = gfx::kBindShaderResource) {
        std::vector<uint32_t> pixels(static_cast<size_t>(width) * height, colour);
        const bool staging = usage == gfx::Usage::kStaging;
        std::shared_ptr<gfx::Texture> texture;
        EXPECT_EQ(m_device->CreateTexture({.width = width,
                                           .height = height,
                                           .usage = usage,
                                           .bindFlags = staging ? gfx::kBindNone : bind,
                                           .cpuAccessFlags = staging ? gfx::kCpuAccessRead : 0u},
                                          pixels.data(), width * 4, &texture),
                  kOk);
        return texture;
    }

    static uint32_t At(const gfx::Texture& texture, uint32_t x, uint32_t y) {
        uint32_t pixel;
        std::memcpy(&pixel, texture.Row(y) + x * 4, 4);
        return pixel;
    }

    // A square bubble in the middle quarter of a 64 x 48 frame, covering the camera.
    static CameraOverlayParams Middle() {
        CameraOverlayParams params;
        params.rectX = 0.25f;
        params.rectY = 0.25f;
        params.rectWidth = 0.5f;
        params.rectHeight = 0.5f;
        params.fillMode = 1;
        return params;
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    CameraCompositor m_compositor;
    test::LogCapture m_log;
};

TEST_F(CameraCompositorTest, RefusesBadInitializeArgumentsAndCompositesNothingThen) {
    EXPECT_FALSE(m_compositor.Initialize(nullptr, 64, 48));
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 0, 48));
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 64, 0));
    EXPECT_EQ(m_log.Count("[CameraCompositor] Initialize failed: invalid parameters"), 3);
    const auto screen = Make(64, 48, kScreenColour);
    const auto camera = Make(8, 8, kCameraColour);
    gfx::Texture* out = nullptr;
    EXPECT_FALSE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &out));
    EXPECT_EQ(out, nullptr);
}

// The output holds the screen with the bubble over it; the screen itself is left as it was.
// Missing textures and a shut-down compositor composite nothing.
TEST_F(CameraCompositorTest, DrawsTheBubbleOverACopyOfTheScreen) {
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    const auto screen = Make(64, 48, kScreenColour);
    const auto camera = Make(8, 8, kCameraColour);
    gfx::Texture* out = nullptr;
    ASSERT_TRUE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &out));
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, screen.get());
    EXPECT_EQ(At(*out, 32, 24), kCameraColour);
    EXPECT_EQ(At(*out, 4, 4), kScreenColour);
    EXPECT_EQ(At(*out, 60, 44), kScreenColour);
    EXPECT_EQ(At(*screen, 32, 24), kScreenColour);
    EXPECT_TRUE(m_compositor.Composite(screen.get(), camera.get(), Middle(), nullptr));

    EXPECT_FALSE(m_compositor.Composite(nullptr, camera.get(), Middle(), &out));
    EXPECT_FALSE(m_compositor.Composite(screen.get(), nullptr, Middle(), &out));
    m_compositor.Shutdown();
    EXPECT_FALSE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &out));
}

// The output is made again only for a screen of another size, and then has that size.
TEST_F(CameraCompositorTest, ANewScreenSizeRecreatesTheOutput) {
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    const auto camera = Make(8, 8, kCameraColour);
    const auto screen = Make(64, 48, kScreenColour);
    gfx::Texture* first = nullptr;
    gfx::Texture* again = nullptr;
    ASSERT_TRUE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &first));
    ASSERT_TRUE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &again));
    EXPECT_EQ(again, first) << "no new output for a screen of the same size";

    const auto larger = Make(100, 60, kScreenColour);
    gfx::Texture* resized = nullptr;
    ASSERT_TRUE(m_compositor.Composite(larger.get(), camera.get(), Middle(), &resized));
    ASSERT_NE(resized, nullptr);
    EXPECT_EQ(resized->Width(), 100u);
    EXPECT_EQ(resized->Height(), 60u);
    EXPECT_EQ(At(*resized, 50, 30), kCameraColour);
    EXPECT_EQ(At(*resized, 99, 59), kScreenColour);
}

// A device that cannot create the output fails Initialize, and a resize, with the line; the
// compositor works again once it can.
TEST_F(CameraCompositorTest, OutputCreationFailureFailsInitializeAndResize) {
    const char* const kLine = "[CameraCompositor] CreateTexture2D (output) failed";
    m_device->SetFaults({.failTextureCreation = true});
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 64, 48));
    EXPECT_EQ(m_log.Count(kLine), 1);
    m_device->SetFaults({});
    const auto camera = Make(8, 8, kCameraColour);
    const auto screen = Make(64, 48, kScreenColour);
    const auto larger = Make(80, 60, kScreenColour);
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));

    m_device->SetFaults({.failTextureCreation = true});
    gfx::Texture* out = nullptr;
    EXPECT_TRUE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &out));
    EXPECT_FALSE(m_compositor.Composite(larger.get(), camera.get(), Middle(), &out));
    EXPECT_EQ(m_log.Count(kLine), 2);
    EXPECT_FALSE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &out))
        << "no output left to draw into";
    m_device->SetFaults({});
    ASSERT_TRUE(m_compositor.Composite(larger.get(), camera.get(), Middle(), &out));
    EXPECT_EQ(out->Width(), 80u);
}

// A camera texture the kernel cannot read through a view (a staging copy, or one not bound as a
// shader resource) gives the plain screen copy, with the line; a readable one is then drawn.
TEST_F(CameraCompositorTest, UnviewableCameraGivesThePlainScreenCopy) {
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    const auto screen = Make(64, 48, kScreenColour);
    const auto staging = Make(8, 8, kCameraColour, gfx::Usage::kStaging);
    const auto unbound = Make(8, 8, kCameraColour, gfx::Usage::kDefault, gfx::kBindRenderTarget);
    for (const auto& camera : {staging, unbound}) {
        gfx::Texture* out = nullptr;
        ASSERT_TRUE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &out));
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(At(*out, 32, 24), kScreenColour);
    }
    EXPECT_EQ(m_log.Count("[CameraCompositor] CreateShaderResourceView (camera) failed"), 2);
    const auto camera = Make(8, 8, kCameraColour);
    gfx::Texture* out = nullptr;
    ASSERT_TRUE(m_compositor.Composite(screen.get(), camera.get(), Middle(), &out));
    EXPECT_EQ(At(*out, 32, 24), kCameraColour);
}

// The parameters reach the kernel as its constants say: a camera aspect of 0 is 1, any fill mode
// other than 1 is contain.
TEST_F(CameraCompositorTest, AspectZeroIsOneAndEveryFillModeButOneContains) {
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    const auto screen = Make(64, 48, kScreenColour);
    const auto camera = Make(8, 8, kCameraColour);
    const auto draw = [&](const CameraOverlayParams& params) {
        gfx::Texture* out = nullptr;
        EXPECT_TRUE(m_compositor.Composite(screen.get(), camera.get(), params, &out));
        std::vector<uint32_t> pixels;
        for (uint32_t y = 0; y < out->Height(); ++y) {
            for (uint32_t x = 0; x < out->Width(); ++x)
                pixels.push_back(At(*out, x, y));
        }
        return pixels;
    };
    CameraOverlayParams params = Middle();
    params.cornerRadius = 0.5f;
    const auto aspectOne = draw(params);
    params.cameraAspect = 0;
    EXPECT_EQ(draw(params), aspectOne);

    params.cameraAspect = 2;
    params.fillMode = 0;
    const auto contain = draw(params);
    EXPECT_EQ(contain[14 * 64 + 32], kScreenColour) << "letterbox bar";
    params.fillMode = 2;
    EXPECT_EQ(draw(params), contain);
    params.fillMode = 1;
    EXPECT_NE(draw(params), contain);
}

}  // namespace
}  // namespace tamro
