// The bubble's pipeline on the real camera driver over a fake kernel: a recording camera of its
// own or a shared one, the screen frames it composites, the preview pictures it forwards.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/CameraOverlay.h"
#include "platform/FakeV4l2Kernel.h"
#include "platform/camera/V4l2CameraSystem.h"
#include "platform/system/SteadyClock.h"
#include "support/LogCapture.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kCameraWidth = 64;
constexpr uint32_t kCameraHeight = 48;
constexpr uint32_t kScreenWidth = 320;
constexpr uint32_t kScreenHeight = 180;
constexpr uint32_t kScreenColour = 0xFF204060;  // BGRA bytes 60 40 20 FF
const std::string kNode = "/dev/video0";

std::vector<uint8_t> Solid(uint32_t width, uint32_t height, uint32_t argb) {
    std::vector<uint8_t> pixels(size_t{width} * height * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = argb & 0xFF;
        pixels[i + 1] = (argb >> 8) & 0xFF;
        pixels[i + 2] = (argb >> 16) & 0xFF;
        pixels[i + 3] = argb >> 24;
    }
    return pixels;
}

uint32_t PixelAt(const gfx::Texture& texture, uint32_t x, uint32_t y) {
    const uint8_t* p = texture.Row(y) + size_t{x} * 4;
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

class CameraOverlayTest : public ::testing::Test {
  protected:
    CameraOverlayTest() {
        m_kernel->AddCamera({.node = kNode,
                             .card = "Bench Cam",
                             .formats = {{.fourcc = V4L2_PIX_FMT_BGR32,
                                          .sizes = {{kCameraWidth, kCameraHeight, {{1, 30}}}}}}});
        m_screenDevice = gfx::Device::Create(gfx::DriverType::kHardware);
        gfx::TextureDesc desc;
        desc.width = kScreenWidth;
        desc.height = kScreenHeight;
        desc.bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget;
        const std::vector<uint8_t> pixels = Solid(kScreenWidth, kScreenHeight, kScreenColour);
        m_screenDevice->CreateTexture(desc, pixels.data(), kScreenWidth * 4, &m_screen);

        CameraOverlay::Environment environment;
        environment.cameras = [this](std::string_view) {
            ++m_cameraSystems;
            return std::make_shared<platform::camera::V4l2CameraSystem>(m_kernel);
        };
        environment.previewFrame = [this](std::shared_ptr<BgraBitmap> bitmap) {
            std::lock_guard lock(m_mutex);
            m_previews.push_back(std::move(bitmap));
        };
        environment.cameraLost = [this](const std::string& reason) {
            std::lock_guard lock(m_mutex);
            m_lost.push_back(reason);
        };
        environment.inFlight = &m_inFlight;
        environment.sharedCameraTime = [this](uint64_t) { return m_sharedTime.load(); };
        environment.clock = [this] { return m_nowNs.load(); };
        m_overlay = std::make_unique<CameraOverlay>(std::move(environment));
    }

    ~CameraOverlayTest() override { m_overlay.reset(); }

    // A circle 90 px across in the middle of the screen, the camera cropped to fill it.
    CameraOverlayConfig Config() const {
        CameraOverlayConfig config;
        config.enabled = true;
        config.deviceId = kNode;
        config.x = 115.0 / kScreenWidth;
        config.y = 45.0 / kScreenHeight;
        config.width = 90.0 / kScreenWidth;
        config.height = 90.0 / kScreenHeight;
        config.cornerRadius = 1.0;
        config.fillMode = 1;
        config.opacity = 1.0;
        return config;
    }

    CameraOverlay::Screen Screen() const {
        return {m_screenDevice.get(), kScreenWidth, kScreenHeight};
    }

    // Hands the camera one picture and waits until the driver has it back.
    void CameraShows(uint32_t argb) {
        ASSERT_TRUE(m_kernel->PushFrames(kNode, {Solid(kCameraWidth, kCameraHeight, argb)}));
        ASSERT_TRUE(m_kernel->WaitAllQueued(kNode, 5s));
    }

    size_t Previews() {
        std::lock_guard lock(m_mutex);
        return m_previews.size();
    }

    std::shared_ptr<FakeV4l2Kernel> m_kernel = std::make_shared<FakeV4l2Kernel>();
    std::shared_ptr<gfx::Device> m_screenDevice;
    std::shared_ptr<gfx::Texture> m_screen;
    std::atomic<int32_t> m_inFlight{0};
    std::atomic<int> m_cameraSystems{0};
    std::atomic<int64_t> m_sharedTime{0};
    std::atomic<int64_t> m_nowNs{1'000'000'000};
    std::mutex m_mutex;
    std::vector<std::shared_ptr<BgraBitmap>> m_previews;  // under m_mutex
    std::vector<std::string> m_lost;                      // under m_mutex
    LogCapture m_log;
    std::unique_ptr<CameraOverlay> m_overlay;
};

// Screen frames pass unchanged until the camera's first picture is across; then the bubble shows
// it inside the circle, the screen shows in the rectangle's corners and everywhere else, and the
// frame's time moves onto the camera's clock, never past the screen's.
TEST_F(CameraOverlayTest, RecordingCameraPicturesAreCompositedInsideTheCircleOnly) {
    m_overlay->SetConfig(Config());
    m_overlay->ResetTiming(100);
    ASSERT_TRUE(m_overlay->SetupPipeline(Screen()));
    EXPECT_TRUE(m_overlay->IsActive());
    EXPECT_FLOAT_EQ(m_overlay->Params().cameraAspect, 64.0f / 48.0f);

    int64_t pts = 5'000'000;
    EXPECT_EQ(m_overlay->ApplyToFrame(m_screen.get(), pts), m_screen.get()) << "no picture yet";
    EXPECT_EQ(pts, 5'000'000);

    CameraShows(0xFFE01010);
    pts = 50'000'000'000;
    gfx::Texture* out = m_overlay->ApplyToFrame(m_screen.get(), pts);
    ASSERT_NE(out, m_screen.get());
    EXPECT_EQ(PixelAt(*out, 160, 90), 0xFFE01010u) << "the bubble's centre";
    EXPECT_EQ(PixelAt(*out, 117, 47), kScreenColour) << "the rectangle's corner is the screen's";
    EXPECT_EQ(PixelAt(*out, 20, 20), kScreenColour);
    EXPECT_EQ(PixelAt(*m_screen, 160, 90), kScreenColour) << "the captured frame is not drawn on";
    EXPECT_LE(pts, 50'000'000'000);
    EXPECT_GT(pts, 0);

    // A repeated screen picture under the same camera picture is the same composite, so that
    // the encoder repeats it; a new camera picture makes a new one.
    m_screen->SetContentId(7);
    const uint64_t composite = m_overlay->ApplyToFrame(m_screen.get(), pts)->ContentId();
    EXPECT_NE(composite, 0u);
    EXPECT_NE(composite, 7u);
    EXPECT_EQ(m_overlay->ApplyToFrame(m_screen.get(), pts)->ContentId(), composite);
    CameraShows(0xFFE01010);
    const uint64_t second = m_overlay->ApplyToFrame(m_screen.get(), pts)->ContentId();
    EXPECT_NE(second, composite);
    // A slot delivered late, far behind the camera's newest picture, stays that repeat.
    std::this_thread::sleep_for(100ms);
    CameraShows(0xFFE01010);
    int64_t late = 0;
    EXPECT_EQ(m_overlay->ApplyToFrame(m_screen.get(), late)->ContentId(), second);
    EXPECT_NE(m_overlay->ApplyToFrame(m_screen.get(), pts)->ContentId(), second);

    // Moving the bubble takes effect with the next frame.
    m_overlay->SetRect(0.0, 0.0, 90.0 / kScreenWidth, 90.0 / kScreenHeight);
    out = m_overlay->ApplyToFrame(m_screen.get(), pts);
    EXPECT_EQ(PixelAt(*out, 45, 45), 0xFFE01010u);
    EXPECT_EQ(PixelAt(*out, 160, 90), kScreenColour);

    m_overlay->Teardown();
    EXPECT_FALSE(m_overlay->IsActive());
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0) << "the camera is closed";
    EXPECT_EQ(m_overlay->ApplyToFrame(m_screen.get(), pts), m_screen.get());
}

// A configured shared camera that cannot be opened leaves the recording without a bubble and
// never opens the camera itself; the handle is forgotten.
TEST_F(CameraOverlayTest, SharedHandleThatCannotBeOpenedNeverFallsBackToTheCamera) {
    m_overlay->SetConfig(Config());
    m_overlay->SetSharedHandle(0xBAD);
    EXPECT_FALSE(m_overlay->SetupPipeline(Screen()));
    EXPECT_FALSE(m_overlay->IsActive());
    EXPECT_EQ(m_overlay->SharedHandle(), 0u);
    EXPECT_EQ(m_cameraSystems.load(), 0);
    EXPECT_EQ(m_kernel->Opens(kNode), 0);
    EXPECT_TRUE(m_log.Contains("OpenSharedResource failed (cross-adapter?)"));
    EXPECT_TRUE(m_log.Contains("shared-handle setup failed; overlay inactive (no fallback"));
}

// Another recorder's camera, shared by handle: its pictures are taken only when its producer has
// released them, and the frame's time follows the shared camera's.
TEST_F(CameraOverlayTest, SharedCameraIsTakenThroughItsKeyedMutex) {
    const std::shared_ptr<gfx::Device> producer = gfx::Device::Create(gfx::DriverType::kHardware);
    gfx::TextureDesc desc;
    desc.width = 32;
    desc.height = 32;
    desc.bindFlags = gfx::kBindShaderResource;
    desc.miscFlags = gfx::kMiscSharedKeyedMutex;
    const std::vector<uint8_t> green = Solid(32, 32, 0xFF10C020);
    std::shared_ptr<gfx::Texture> shared;
    ASSERT_EQ(producer->CreateTexture(desc, green.data(), 32 * 4, &shared), 0);

    m_overlay->SetConfig(Config());
    m_overlay->ResetTiming(100);
    m_overlay->SetSharedHandle(shared->SharedHandle());
    ASSERT_TRUE(m_overlay->SetupPipeline(Screen()));
    EXPECT_EQ(m_cameraSystems.load(), 0);

    int64_t pts = 20'000'000;
    EXPECT_EQ(m_overlay->ApplyToFrame(m_screen.get(), pts), m_screen.get())
        << "the producer has not released a picture";
    ASSERT_EQ(shared->GetKeyedMutex()->AcquireSync(0, 0), 0);
    ASSERT_EQ(shared->GetKeyedMutex()->ReleaseSync(1), 0);
    m_sharedTime = 19'500'000;
    gfx::Texture* out = m_overlay->ApplyToFrame(m_screen.get(), pts);
    ASSERT_NE(out, m_screen.get());
    EXPECT_EQ(PixelAt(*out, 160, 90), 0xFF10C020u);
    EXPECT_EQ(pts, 19'500'000 - 500'000) << "the shared camera's time less the measured delay";
    EXPECT_EQ(shared->GetKeyedMutex()->AcquireSync(0, 0), 0) << "handed back to the producer";
}

// The camera's pictures reach the application at most once per 33 ms; switching the forward
// off and on again lets the next picture through at once.
TEST_F(CameraOverlayTest, PreviewPicturesAreForwardedAtMostThirtyASecond) {
    m_overlay->SetConfig(Config());
    ASSERT_TRUE(m_overlay->SetupPipeline(Screen()));
    CameraShows(0xFF3050F0);
    ASSERT_EQ(Previews(), 1u);
    m_nowNs += 20'000'000;
    CameraShows(0xFF3050F0);
    EXPECT_EQ(Previews(), 1u) << "20 ms after the last";
    m_nowNs += 14'000'000;
    CameraShows(0xFF3050F0);
    EXPECT_EQ(Previews(), 2u);
    m_overlay->SetPreviewForward(false);
    CameraShows(0xFF3050F0);
    EXPECT_EQ(Previews(), 2u);
    m_overlay->SetPreviewForward(true);
    CameraShows(0xFF3050F0);
    ASSERT_EQ(Previews(), 3u) << "at once after switching back on";
    std::lock_guard lock(m_mutex);
    const BgraBitmap& last = *m_previews.back();
    EXPECT_EQ(last.Width(), kCameraWidth);
    EXPECT_EQ(last.Pixels()[0], 0xF0);
    EXPECT_EQ(last.Pixels()[2], 0x30);
}

// Setup failures leave the overlay off with their line, and close what they opened.
TEST_F(CameraOverlayTest, SetupFailuresSayWhyAndLeaveNothingOpen) {
    CameraOverlayConfig config = Config();
    config.deviceId = "/dev/video7";
    m_overlay->SetConfig(config);
    EXPECT_FALSE(m_overlay->SetupPipeline(Screen()));
    EXPECT_TRUE(m_log.Contains("[NativeRecorder] Camera overlay: recording camera prepare failed"));
    EXPECT_EQ(m_overlay->SetupFailure(), "camera '/dev/video7' was not found");

    m_overlay->SetConfig(Config());
    EXPECT_FALSE(m_overlay->SetupPipeline({}));
    EXPECT_TRUE(m_log.Contains("[NativeRecorder] Camera overlay: no screen device available"));

    m_kernel->FailOpen(kNode, EBUSY);
    EXPECT_FALSE(m_overlay->SetupPipeline(Screen()));
    EXPECT_TRUE(m_log.Contains("Device or resource busy"));
    EXPECT_EQ(m_overlay->SetupFailure(),
              "camera '/dev/video0' cannot be opened (/dev/video0: Device or resource busy)");
    EXPECT_FALSE(m_overlay->IsActive());
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);

    config.enabled = false;
    m_overlay->SetConfig(config);
    EXPECT_FALSE(m_overlay->IsEnabled());
    EXPECT_FALSE(m_overlay->SetupPipeline(Screen()));
}

// An unplugged camera is said once; the bubble keeps its last picture and frames go on.
TEST_F(CameraOverlayTest, UnpluggedCameraIsSaidOnceAndTheRecordingGoesOn) {
    m_overlay->SetConfig(Config());
    ASSERT_TRUE(m_overlay->SetupPipeline(Screen()));
    CameraShows(0xFFE01010);
    m_kernel->Unplug(kNode);
    for (int i = 0; i < 200 &&
                    [&] {
                        std::lock_guard lock(m_mutex);
                        return m_lost.empty();
                    }();
         ++i)
        std::this_thread::sleep_for(10ms);
    {
        std::lock_guard lock(m_mutex);
        ASSERT_EQ(m_lost.size(), 1u);
    }
    int64_t pts = 40'000'000;
    gfx::Texture* out = m_overlay->ApplyToFrame(m_screen.get(), pts);
    EXPECT_EQ(PixelAt(*out, 160, 90), 0xFFE01010u);
    m_overlay->Teardown();
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);
}

}  // namespace
}  // namespace tamro::test
