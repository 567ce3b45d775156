#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "camera/CameraCompositor.h"
#include "platform/gfx/Device.h"
#include "support/LogCapture.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

constexpr uint32_t kView = gfx::kBindShaderResource;
constexpr uint32_t kScreenColour = 0x80402010, kCameraColour = 0xFF00C000;  // A, R, G, B
const CameraOverlayParams kMiddle{
    .rectX = 0.25f, .rectY = 0.25f, .rectWidth = 0.5f, .rectHeight = 0.5f, .fillMode = 1};

uint32_t At(const gfx::Texture& texture, uint32_t x, uint32_t y) {
    const uint8_t* p = texture.Row(y) + x * 4;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class CameraCompositorTest : public ::testing::Test {
  protected:
    std::shared_ptr<gfx::Texture> Make(uint32_t width, uint32_t height, uint32_t colour,
                                       gfx::TextureDesc desc = {.bindFlags = kView}) {
        desc.width = width;
        desc.height = height;
        std::vector<uint32_t> pixels(static_cast<size_t>(width) * height, colour);
        std::shared_ptr<gfx::Texture> texture;
        EXPECT_EQ(m_device->CreateTexture(desc, pixels.data(), width * 4, &texture), kOk);
        return texture;
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    const std::shared_ptr<gfx::Texture> m_screen = Make(64, 48, kScreenColour);
    const std::shared_ptr<gfx::Texture> m_camera = Make(8, 8, kCameraColour);
    CameraCompositor m_compositor;
    gfx::Texture* m_out = nullptr;
    test::LogCapture m_log;
};

TEST_F(CameraCompositorTest, RefusesBadArgumentsAndCompositesNothingUninitialized) {
    EXPECT_FALSE(m_compositor.Initialize(nullptr, 64, 48));
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 0, 48));
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 64, 0));
    EXPECT_EQ(m_log.Count("[CameraCompositor] Initialize failed: invalid parameters"), 3);
    EXPECT_FALSE(m_compositor.Composite(m_screen.get(), m_camera.get(), kMiddle, &m_out));
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    EXPECT_FALSE(m_compositor.Composite(nullptr, m_camera.get(), kMiddle, &m_out));
    EXPECT_FALSE(m_compositor.Composite(m_screen.get(), nullptr, kMiddle, &m_out));
    m_compositor.Shutdown();
    EXPECT_FALSE(m_compositor.Composite(m_screen.get(), m_camera.get(), kMiddle, &m_out));
}

// The bubble is drawn over a copy of the screen, made again only for a screen of a new size (so a
// device failing to create it fails that frame, or Initialize, with the line, until it recovers).
TEST_F(CameraCompositorTest, DrawsOverACopyRecreatedForANewScreenSize) {
    const auto larger = Make(100, 60, kScreenColour);
    m_device->SetFaults({.failTextureCreation = true});
    EXPECT_FALSE(m_compositor.Initialize(m_device.get(), 64, 48));
    m_device->SetFaults({});
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    ASSERT_TRUE(m_compositor.Composite(m_screen.get(), m_camera.get(), kMiddle, &m_out));
    EXPECT_EQ(At(*m_out, 32, 24), kCameraColour);
    EXPECT_EQ(At(*m_screen, 32, 24), kScreenColour);
    m_device->SetFaults({.failTextureCreation = true});
    ASSERT_TRUE(m_compositor.Composite(m_screen.get(), m_camera.get(), kMiddle, &m_out));
    EXPECT_FALSE(m_compositor.Composite(larger.get(), m_camera.get(), kMiddle, &m_out));
    EXPECT_EQ(m_log.Count("[CameraCompositor] CreateTexture2D (output) failed"), 2);
    m_device->SetFaults({});
    ASSERT_TRUE(m_compositor.Composite(larger.get(), m_camera.get(), kMiddle, &m_out));
    EXPECT_EQ(std::pair(m_out->Width(), m_out->Height()), std::pair(100u, 60u));
    EXPECT_EQ(At(*m_out, 99, 59), kScreenColour);
}

// A camera without a view (staging, or not bound as a shader resource) gives the plain copy. Every
// fill mode but 1 (cover) contains: with an aspect of 2, bars cover the bubble's top quarter.
TEST_F(CameraCompositorTest, DrawsAViewableCameraAndContainsUnlessCover) {
    ASSERT_TRUE(m_compositor.Initialize(m_device.get(), 64, 48));
    const auto staging =
        Make(8, 8, kCameraColour,
             {.usage = gfx::Usage::kStaging, .cpuAccessFlags = gfx::kCpuAccessRead});
    const auto unbound = Make(8, 8, kCameraColour, {.bindFlags = gfx::kBindRenderTarget});
    for (const auto& camera : {staging, unbound, m_camera}) {
        ASSERT_TRUE(m_compositor.Composite(m_screen.get(), camera.get(), kMiddle, &m_out));
        EXPECT_EQ(At(*m_out, 32, 24), camera == m_camera ? kCameraColour : kScreenColour);
    }
    EXPECT_EQ(m_log.Count("[CameraCompositor] CreateShaderResourceView (camera) failed"), 2);
    for (const int32_t mode : {0, 1, 2, -1}) {
        CameraOverlayParams params = kMiddle;
        params.fillMode = mode;
        params.cameraAspect = 2;
        ASSERT_TRUE(m_compositor.Composite(m_screen.get(), m_camera.get(), params, &m_out));
        EXPECT_EQ(At(*m_out, 32, 14), mode == 1 ? kCameraColour : kScreenColour) << mode;
    }
}

}  // namespace
}  // namespace tamro
