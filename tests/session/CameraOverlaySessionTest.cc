// The webcam bubble through the recorder's operations: when its camera opens and closes, what a
// prepared start does with it, a shared camera that cannot be opened, and its background effect.

#include <gtest/gtest.h>

#include "platform/FakeV4l2Kernel.h"
#include "platform/camera/V4l2CameraSystem.h"
#include "session/RecorderTest.h"

namespace tamro::test {
namespace {

const std::string kNode = "/dev/video0";

class CameraOverlaySessionTest : public RecorderTest {
  protected:
    CameraOverlaySessionTest() {
        m_kernel->AddCamera(
            {.node = kNode,
             .card = "Bench Cam",
             .formats = {{.fourcc = V4L2_PIX_FMT_BGR32, .sizes = {{32, 24, {{1, 30}}}}}}});
        m_world->screenDevice = gfx::Device::Create(gfx::DriverType::kHardware);
        m_world->cameras = [this](std::string_view) {
            ++m_cameraSystems;
            return std::make_shared<platform::camera::V4l2CameraSystem>(m_kernel);
        };
        CameraOverlayConfig config;
        config.enabled = true;
        config.deviceId = kNode;
        config.x = config.y = 0.5;
        config.width = config.height = 0.25;
        config.cornerRadius = 1.0;
        m_recorder->SetCameraOverlayConfig(config);
    }

    bool Prepare() { return m_recorder->PrepareAsync(m_config)->Get(); }
    bool PrepareCamera() { return m_recorder->PrepareCameraOverlayAsync()->Get(); }

    std::shared_ptr<FakeV4l2Kernel> m_kernel = std::make_shared<FakeV4l2Kernel>();
    std::atomic<int> m_cameraSystems{0};
};

// The camera opens with the recording and closes with its stop; the bubble is active between.
TEST_F(CameraOverlaySessionTest, CameraOpensWithTheRecordingAndClosesAtItsStop) {
    ASSERT_TRUE(Start());
    EXPECT_TRUE(m_recorder->IsCameraOverlayActive());
    EXPECT_TRUE(m_kernel->Streaming(kNode));
    m_recorder->Stop();
    EXPECT_FALSE(m_recorder->IsCameraOverlayActive());
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);
    EXPECT_FALSE(m_kernel->Streaming(kNode));
}

// The camera can only be prepared for a prepared session that has not started; a prepared one
// streams before the start, is not opened again by it, and is closed by a discard.
TEST_F(CameraOverlaySessionTest, PreparedCameraStreamsBeforeTheStartAndGoesWithADiscard) {
    EXPECT_FALSE(PrepareCamera());
    EXPECT_TRUE(m_log.Contains("[NativeRecorder] PrepareCameraOverlayAsync: Not prepared"));

    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(PrepareCamera());
    EXPECT_TRUE(m_kernel->Streaming(kNode)) << "delivering ahead of the start";
    EXPECT_TRUE(PrepareCamera()) << "already prepared";
    const int opens = m_kernel->Opens(kNode);
    ASSERT_TRUE(m_recorder->StartPreparedAsync()->Get());
    EXPECT_EQ(m_kernel->Opens(kNode), opens) << "the start keeps the prepared camera";
    EXPECT_TRUE(m_recorder->IsCameraOverlayActive());
    EXPECT_FALSE(PrepareCamera()) << "while recording";
    m_recorder->Stop();
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);

    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(PrepareCamera());
    m_recorder->DiscardPrepared();
    EXPECT_FALSE(m_recorder->IsCameraOverlayActive());
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);
}

// A shared camera that cannot be opened: the recording runs without the bubble and never opens
// the camera; the next recording, with the handle forgotten, opens its own.
TEST_F(CameraOverlaySessionTest, UnopenableSharedCameraRecordsWithoutTheBubble) {
    m_recorder->SetSharedCameraHandle(0xBAD);
    ASSERT_TRUE(Start());
    EXPECT_FALSE(m_recorder->IsCameraOverlayActive());
    EXPECT_EQ(m_cameraSystems.load(), 0);
    EXPECT_EQ(m_kernel->Opens(kNode), 0);
    m_recorder->Stop();

    ASSERT_TRUE(Start());
    EXPECT_TRUE(m_recorder->IsCameraOverlayActive());
    m_recorder->Stop();
}

// A camera another program is streaming from is said once the recording runs, which goes on
// without it.
TEST_F(CameraOverlaySessionTest, CameraInUseIsSaidAndTheRecordingGoesOn) {
    platform::camera::V4l2CameraSystem cameras(m_kernel);
    const auto other = cameras.Open(cameras.FindAllSourceGroups().at(0));
    const auto reader = other->CreateFrameReader(*other->FrameSources().at(0));
    ASSERT_EQ(reader->Start([](const platform::camera::Frame&) {}, [](const std::string&) {}),
              platform::camera::ReaderStartStatus::kSuccess);
    ASSERT_TRUE(Start());
    EXPECT_TRUE(m_recorder->IsRecording());
    EXPECT_FALSE(m_recorder->IsCameraOverlayActive());
    EXPECT_EQ(Errors(), (std::vector<std::string>{
                            "The camera bubble is off: camera '/dev/video0' is in use by another "
                            "program"}));
    m_recorder->Stop();
    reader->Stop();
    other->Close();
}

// An overlay without a camera id, or switched off, never opens anything.
TEST_F(CameraOverlaySessionTest, OverlayOffOpensNoCamera) {
    CameraOverlayConfig config;
    config.enabled = true;  // but no device
    m_recorder->SetCameraOverlayConfig(config);
    ASSERT_TRUE(Start());
    EXPECT_FALSE(m_recorder->IsCameraOverlayActive());
    m_recorder->Stop();
    ASSERT_TRUE(Prepare());
    EXPECT_FALSE(PrepareCamera());
    m_recorder->DiscardPrepared();
    EXPECT_EQ(m_cameraSystems.load(), 0);
}

// The bubble's camera runs the background effect (the converted network lies beside the tests);
// a new effect reaches the running recording, and the counter goes with the recording.
TEST_F(CameraOverlaySessionTest, BackgroundEffectRunsOnTheBubblesCameraAndFollowsItsSetting) {
    EXPECT_EQ(m_recorder->ProcessedEffectFrames(), 0u);
    EXPECT_TRUE(m_recorder->IsBackgroundEffectAvailable()) << "the model loads without an effect";
    m_recorder->SetBackgroundEffect({.Mode = 2, .SolidColorPreset = 1, .Quality = 2});
    ASSERT_TRUE(Start());
    EXPECT_TRUE(Errors().empty());
    EXPECT_TRUE(m_recorder->IsBackgroundEffectAvailable());
    const std::vector<uint8_t> frame(32 * 24 * 4, 128);
    auto push = [&](int count) {
        for (int i = 0; i < count; ++i) {
            while (!m_kernel->PushFrames(kNode, {frame}))
                std::this_thread::sleep_for(1ms);
        }
    };
    push(3);
    for (int i = 0; i < 2000 && m_recorder->ProcessedEffectFrames() < 3; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_GE(m_recorder->ProcessedEffectFrames(), 3u);

    // Off while recording: frames pass through, counted no more.
    m_recorder->SetBackgroundEffect({});
    const uint64_t before = m_recorder->ProcessedEffectFrames();
    push(3);
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(m_recorder->ProcessedEffectFrames(), before + 1);
    m_recorder->Stop();
    EXPECT_EQ(m_recorder->ProcessedEffectFrames(), 0u);
}

}  // namespace
}  // namespace tamro::test
