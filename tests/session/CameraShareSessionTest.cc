// A preview in one recorder lends its camera to a recording in another: the recording shows the
// bubble from the shared, already processed picture, on the shared session clock, and nothing
// opens the camera a second time.

#include <gtest/gtest.h>

#include "camera/PreviewFakes.h"
#include "platform/FakeV4l2Kernel.h"
#include "platform/camera/V4l2CameraSystem.h"
#include "session/RecorderTest.h"
#include "support/AppDataFolder.h"

namespace tamro::test {
namespace {

const std::string kNode = "/dev/video0";
constexpr std::array<uint8_t, 3> kPaint{0, 200, 0};

class CameraShareSessionTest : public RecorderTest {
  protected:
    CameraShareSessionTest() {
        m_kernel->AddCamera(
            {.node = kNode,
             .card = "Shared Cam",
             .formats = {{.fourcc = V4L2_PIX_FMT_BGR32, .sizes = {{32, 24, {{1, 30}}}}}}});
        m_world->screenDevice = gfx::Device::Create(gfx::DriverType::kHardware);
        m_world->cameras = [kernel = m_kernel](std::string_view) {
            return std::make_shared<platform::camera::V4l2CameraSystem>(kernel);
        };
        m_world->effects = PaintEffects(m_effects, kPaint);
        m_world->nowNs = 100'000'000'000;
        m_preview = NativeRecorder::Create(std::make_unique<FakeComponentFactory>(m_world));
        m_preview->PreviewFrameReady(
            [this](NativeRecorder&, const std::shared_ptr<BgraBitmap>&) { ++m_bitmaps; });
    }
    ~CameraShareSessionTest() override {
        m_recorder->Stop();
        m_preview->EndCameraShare();
        m_preview->StopCameraPreview();
    }

    // One camera frame through the preview, waited for.
    bool CameraFrame() {
        const int before = m_bitmaps.load();
        const std::vector<uint8_t> frame(32 * 24 * 4, 60);
        if (!m_kernel->WaitAllQueued(kNode, 5s) || !m_kernel->PushFrames(kNode, {frame}))
            return false;
        for (int i = 0; i < 5000 && m_bitmaps.load() == before; ++i)
            std::this_thread::sleep_for(1ms);
        return m_bitmaps.load() > before;
    }

    // One screen frame of the recording at `pts`; what was written for it.
    std::pair<int64_t, std::array<uint8_t, 4>> ScreenFrame(int64_t pts) {
        std::vector<uint8_t> grey(1280 * 720 * 4, 128);
        std::shared_ptr<gfx::Texture> screen;
        m_world->screenDevice->CreateTexture({.width = 1280, .height = 720}, grey.data(), 1280 * 4,
                                             &screen);
        m_world->frameCallback(screen.get(), pts);
        std::lock_guard lock(m_world->writtenMutex);
        return {m_world->writtenVideoPts.back(), m_world->probed.back()};
    }

    std::shared_ptr<FakeV4l2Kernel> m_kernel = std::make_shared<FakeV4l2Kernel>();
    std::shared_ptr<EffectLog> m_effects = std::make_shared<EffectLog>();
    std::shared_ptr<NativeRecorder> m_preview;
    std::atomic<int> m_bitmaps{0};
};

TEST_F(CameraShareSessionTest, ARecordingInAnotherRecorderShowsTheSharedCameraOnItsClock) {
    ASSERT_TRUE(
        m_preview->StartCameraPreviewAsync(kNode, 32, 24, 30, {.Mode = 1, .Quality = 2})->Get());
    const uint64_t handle = m_preview->BeginCameraShare();
    ASSERT_NE(handle, 0u);
    const int opens = m_kernel->Opens(kNode);

    CameraOverlayConfig overlay;
    overlay.enabled = true;
    overlay.deviceId = kNode;
    overlay.x = overlay.y = 0.5;
    overlay.width = overlay.height = 0.25;
    m_recorder->SetCameraOverlayConfig(overlay);
    m_recorder->SetSharedCameraHandle(handle);
    m_world->probe = {{800, 450}};  // inside the bubble
    ASSERT_TRUE(Start());
    EXPECT_TRUE(m_recorder->IsCameraOverlayActive());

    // Not yet on the recording's clock: the shared frames carry no time, the frames keep theirs.
    ASSERT_TRUE(CameraFrame());
    auto [pts, pixel] = ScreenFrame(5'000'000);
    EXPECT_EQ(pts, 5'000'000);
    EXPECT_EQ(pixel, (std::array<uint8_t, 4>{kPaint[0], kPaint[1], kPaint[2], 255}))
        << "the bubble shows the processed camera picture";

    // On the recording's clock: the camera picture of 9.5 s into the recording moves a screen
    // frame of 10 s onto the camera's time less its latency.
    const int64_t origin = m_recorder->SessionStartTime();
    ASSERT_GT(origin, 0);
    m_preview->SetSharedSessionStartTime(origin);
    m_world->nowNs = origin * 100 + 950'000'000;
    ASSERT_TRUE(CameraFrame());
    EXPECT_EQ(ScreenFrame(10'000'000).first, 9'000'000);

    EXPECT_EQ(m_kernel->Opens(kNode), opens) << "the recording never opens the camera";
    EXPECT_EQ(m_effects->frames.load(), m_bitmaps.load()) << "one effect pass a frame";
}

// One recorder previewing into its bubble window and recording its own shared camera says so in
// its start line.
TEST_F(CameraShareSessionTest, TheStartLineReportsTheCameraAsItRuns) {
    AppDataFolder appData;
    setenv("TAMRO_PERF", "1", 1);
    auto surface = std::make_shared<SurfaceLog>();
    m_world->surfaces = FakeSurfaces(surface);
    auto& recorder = *m_recorder;
    ASSERT_TRUE(recorder.StartCameraPreviewAsync(kNode, 32, 24, 0, {.Mode = 1})->Get());
    ASSERT_TRUE(recorder.AttachBubblePresenter(7, 48, 48));
    EXPECT_TRUE(m_log.Contains("[PERF][Bubble] presenter bound 48x48 (zero-copy active)"));
    CameraOverlayConfig overlay;
    overlay.enabled = true;
    overlay.deviceId = kNode;
    overlay.width = overlay.height = 0.25;
    recorder.SetCameraOverlayConfig(overlay);
    recorder.SetSharedCameraHandle(recorder.BeginCameraShare());
    ASSERT_TRUE(Start());
    EXPECT_TRUE(
        m_log.Contains("overlayEnabled=1 sharedCamHandle=1 gpuBubble=1 "
                       "singleEffectPreview=1"));
    recorder.Stop();
    recorder.EndCameraShare();
    recorder.StopCameraPreview();
    recorder.SetSharedCameraHandle(0);
    ASSERT_TRUE(Start());
    EXPECT_TRUE(
        m_log.Contains("overlayEnabled=1 sharedCamHandle=0 gpuBubble=0 "
                       "singleEffectPreview=0"));
    unsetenv("TAMRO_PERF");
}

}  // namespace
}  // namespace tamro::test
