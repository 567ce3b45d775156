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

    // The middle quarter of the frame.
    static CameraOverlayParams Middle() {
        CameraOverlayParams params;
        params.rectX = params.rectY = 0.25f;
        params.rectWidth = params.rectHeight = 0.5f;
        params.fillMode = 1;
        return params;
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    const std::shared_ptr<gfx::Texture> m_screen = Make(64, 48, kScreenColour);
    const std::shared_ptr<gfx::Texture> m_camera = Make(8, 8, kCameraColour);
    CameraCompositor m_compositor;
    test::LogCapture m_log;
};

TEST_F(CameraCompositorTest, RefusesBadInitializeArgumentsAndThenCompositesNothing) {
    EXPECT_FALSE(m_compositor.Initialize(nullptr, 64, 48));
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 0, 48));
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 64, 0));
    EXPECT_EQ(m_log.Count("[CameraCompositor] Initialize failed: invalid parameters"), 3);
    gfx::Texture* out = nullptr;
    EXPECT_FALSE(m_compositor.Composite(m_screen.get(), m_camera.get(), Middle(), &out));
    EXPECT_EQ(out, nullptr);
}

// The output holds the screen with the bubble over it, the screen itself left as it was; it is
// made again only for a screen of another size, and then has that size.
TEST_F(CameraCompositorTest, DrawsOverACopyRecreatedOnlyForANewScreenSize) {
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    gfx::Texture* out = nullptr;
    ASSERT_TRUE(m_compositor.Composite(m_screen.get(), m_camera.get(), Middle(), &out));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(At(*out, 32, 24), kCameraColour);
    EXPECT_EQ(At(*out, 4, 4), kScreenColour);
    EXPECT_EQ(At(*m_screen, 32, 24), kScreenColour);
    gfx::Texture* again = nullptr;
    ASSERT_TRUE(m_compositor.Composite(m_screen.get(), m_camera.get(), Middle(), &again));
    EXPECT_EQ(again, out);

    const auto larger = Make(100, 60, kScreenColour);
    ASSERT_TRUE(m_compositor.Composite(larger.get(), m_camera.get(), Middle(), &out));
    EXPECT_EQ(out->Width(), 100u);
    EXPECT_EQ(out->Height(), 60u);
    EXPECT_EQ(At(*out, 50, 30), kCameraColour);
    EXPECT_EQ(At(*out, 99, 59), kScreenColour);

    EXPECT_FALSE(m_compositor.Composite(nullptr, m_camera.get(), Middle(), &out));
    EXPECT_FALSE(m_compositor.Composite(m_screen.get(), nullptr, Middle(), &out));
    m_compositor.Shutdown();
    EXPECT_FALSE(m_compositor.Composite(m_screen.get(), m_camera.get(), Middle(), &out));
}

// A device that cannot create the output fails Initialize, and a resize, with the line; the
// compositor works again once it can.
TEST_F(CameraCompositorTest, OutputCreationFailureFailsInitializeAndResize) {
    const char* const kLine = "[CameraCompositor] CreateTexture2D (output) failed";
    m_device->SetFaults({.failTextureCreation = true});
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 64, 48));
    EXPECT_EQ(m_log.Count(kLine), 1);
    m_device->SetFaults({});
    const auto larger = Make(80, 60, kScreenColour);
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));

    m_device->SetFaults({.failTextureCreation = true});
    gfx::Texture* out = nullptr;
    EXPECT_TRUE(m_compositor.Composite(m_screen.get(), m_camera.get(), Middle(), &out));
    EXPECT_FALSE(m_compositor.Composite(larger.get(), m_camera.get(), Middle(), &out));
    EXPECT_EQ(m_log.Count(kLine), 2);
    m_device->SetFaults({});
    ASSERT_TRUE(m_compositor.Composite(larger.get(), m_camera.get(), Middle(), &out));
    EXPECT_EQ(out->Width(), 80u);
}

// A camera the kernel cannot read through a view (a staging copy, or one not bound as a shader
// resource) gives the plain screen copy, with the line; a readable one is then drawn.
TEST_F(CameraCompositorTest, UnviewableCameraGivesThePlainScreenCopy) {
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    const auto staging = Make(8, 8, kCameraColour, gfx::Usage::kStaging);
    const auto unbound = Make(8, 8, kCameraColour, gfx::Usage::kDefault, gfx::kBindRenderTarget);
    gfx::Texture* out = nullptr;
    for (const auto& camera : {staging, unbound, m_camera}) {
        out = nullptr;
        ASSERT_TRUE(m_compositor.Composite(m_screen.get(), camera.get(), Middle(), &out));
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(At(*out, 32, 24), camera == m_camera ? kCameraColour : kScreenColour);
    }
    EXPECT_EQ(m_log.Count("[CameraCompositor] CreateShaderResourceView (camera) failed"), 2);
}

// The parameters become the kernel's constants: an aspect of 0 is 1, every fill mode but 1 is
// contain (with an aspect of 2 its bars cover the bubble's top quarter).
TEST_F(CameraCompositorTest, AspectZeroIsOneAndEveryFillModeButOneContains) {
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    gfx::Texture* out = nullptr;
    const auto draw = [&](const CameraOverlayParams& params) {
        EXPECT_TRUE(m_compositor.Composite(m_screen.get(), m_camera.get(), params, &out));
        return std::vector<uint8_t>(out->Data(), out->Data() + out->RowPitch() * out->Height());
    };
    CameraOverlayParams params = Middle();
    params.cornerRadius = 0.5f;
    const auto aspectOne = draw(params);
    params.cameraAspect = 0;
    EXPECT_EQ(draw(params), aspectOne);
    params.cameraAspect = 2;
    params.fillMode = 0;
    const auto contain = draw(params);
    EXPECT_EQ(At(*out, 32, 14), kScreenColour);
    params.fillMode = 2;
    EXPECT_EQ(draw(params), contain);
    params.fillMode = 1;
    EXPECT_NE(draw(params), contain);
}

}  // namespace
}  // namespace tamro
