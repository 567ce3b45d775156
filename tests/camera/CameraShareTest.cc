// The preview's camera lent to recordings: the shared texture and its handle, the times in the
// registry, what stops publishing, the share's effect, and the single effect pass.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "camera/CameraPreview.h"
#include "camera/CameraShare.h"
#include "camera/CameraShareRegistry.h"
#include "camera/PreviewFakes.h"
#include "platform/FakeV4l2Kernel.h"
#include "platform/camera/V4l2CameraSystem.h"
#include "support/LogCapture.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<gfx::Texture> Frame(gfx::Device& device, uint32_t width, uint32_t height,
                                    uint8_t value) {
    std::vector<uint8_t> pixels(size_t{width} * height * 4, value);
    std::shared_ptr<gfx::Texture> texture;
    device.CreateTexture({.width = width, .height = height, .bindFlags = gfx::kBindShaderResource},
                         pixels.data(), width * 4, &texture);
    return texture;
}

int64_t Published(uint64_t handle) {
    const auto entry = CameraShareRegistry::Instance().Find(handle);
    return entry ? entry->lastTimestamp : -1;
}

class CameraShareTest : public ::testing::Test {
  protected:
    CameraShare::Environment Environment() {
        return {.effects = PaintEffects(m_effects), .clock = [this] { return m_nowNs.load(); }};
    }

    // The consumer's side: the shared picture's first byte once the producer released it, or -1.
    int Consume(uint64_t handle) {
        std::shared_ptr<gfx::Texture> opened;
        if (Failed(m_consumer->OpenSharedTexture(handle, &opened)) ||
            opened->GetKeyedMutex()->AcquireSync(1, 0) != kOk)
            return -1;
        const int value = opened->Row(0)[0];
        opened->GetKeyedMutex()->ReleaseSync(0);
        return value;
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    std::shared_ptr<gfx::Device> m_consumer = gfx::Device::Create(gfx::DriverType::kHardware);
    std::shared_ptr<EffectLog> m_effects = std::make_shared<EffectLog>();
    std::atomic<int64_t> m_nowNs{50'000'000'000};
    LogCapture m_log;
};

TEST_F(CameraShareTest, BeginTwiceKeepsOneTextureAndEndForgetsTheHandle) {
    CameraShare share(Environment());
    EXPECT_EQ(share.Begin(nullptr, 32, 24), 0u);
    EXPECT_TRUE(m_log.Contains("[NativeRecorder] BeginCameraShare: no preview device"));
    EXPECT_EQ(share.Begin(m_device.get(), 0, 24), 0u);
    EXPECT_TRUE(m_log.Contains("[NativeRecorder] BeginCameraShare: preview dimensions not ready"));
    const uint64_t handle = share.Begin(m_device.get(), 32, 24);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(share.Begin(m_device.get(), 64, 48), handle);
    EXPECT_EQ(Published(handle), 0);
    share.End();
    EXPECT_EQ(Published(handle), -1) << "the registry entry goes with the share";
    EXPECT_NE(share.Begin(m_device.get(), 32, 24), handle) << "a new share, a new texture";
}

// Published times count from the consuming recording's start on the session clock; without one
// they are 0. A frame of another size than the share's is not published at all.
TEST_F(CameraShareTest, TimesFollowTheSessionStartAndAnotherSizeIsNotPublished) {
    CameraShare share(Environment());
    const uint64_t handle = share.Begin(m_device.get(), 32, 24);
    auto frame = Frame(*m_device, 32, 24, 90);
    EXPECT_EQ(share.Publish(m_device.get(), frame.get()), nullptr) << "no effect ran";
    EXPECT_EQ(Published(handle), 0);
    EXPECT_EQ(Consume(handle), 90);

    share.SetSessionStart(480'000'000);  // 48 s in 100-ns units
    share.Publish(m_device.get(), frame.get());
    EXPECT_EQ(Published(handle), 20'000'000);  // 2 s later
    m_nowNs += 40'000'000;
    auto other = Frame(*m_device, 16, 8, 10);
    share.Publish(m_device.get(), other.get());
    EXPECT_EQ(Published(handle), 20'000'000);
    EXPECT_EQ(Consume(handle), 90) << "the picture of the share's own size stays";
    EXPECT_EQ(Consume(handle), -1) << "nothing new was released";

    share.SetSessionStart(0);
    share.Publish(m_device.get(), frame.get());
    EXPECT_EQ(Published(handle), 0);
}

// A share effect that fails every frame publishes the raw frame and says so on the 1st, 31st and
// 61st failure; one that works publishes its picture and returns it for the preview.
TEST_F(CameraShareTest, EffectFailuresAreSaidEveryThirtiethAndTheRawFrameIsPublished) {
    CameraShare share(Environment());
    share.UpdateEffect({.Mode = 1}, m_device.get(), 32, 24);
    EXPECT_EQ(m_effects->created, 0) << "no effect is made before the share begins";
    const uint64_t handle = share.Begin(m_device.get(), 32, 24);
    EXPECT_EQ(m_effects->created, 1);
    auto frame = Frame(*m_device, 32, 24, 90);
    m_effects->fail = true;
    for (int i = 0; i < 61; ++i)
        EXPECT_EQ(share.Publish(m_device.get(), frame.get()), nullptr);
    EXPECT_EQ(m_log.Count("[NativeRecorder] Share effect failed ("), 3);
    EXPECT_EQ(Consume(handle), 90);
    m_effects->fail = false;
    gfx::Texture* processed = share.Publish(m_device.get(), frame.get());
    ASSERT_NE(processed, nullptr);
    EXPECT_EQ(Consume(handle), 0) << "the painted picture (blue 0)";
    EXPECT_GT(CameraShareRegistry::Instance().Find(handle)->effectTime, 0);
    share.UpdateEffect({}, m_device.get(), 32, 24);
    EXPECT_EQ(m_effects->destroyed, 1);
    EXPECT_EQ(CameraShareRegistry::Instance().Find(handle)->effectTime, 0);
}

// While shared, a preview with an effect runs it once a frame: on the share path, and shows the
// processed picture. Switched off, the preview runs its own pass as well.
class SingleEffectPassTest : public ::testing::TestWithParam<bool> {};

TEST_P(SingleEffectPassTest, EffectRunsOncePerFrameUnlessSwitchedOff) {
    const bool single = GetParam();
    if (!single)
        setenv("TAMRO_SINGLE_EFFECT_PREVIEW", "0", 1);
    LogCapture log;
    auto kernel = std::make_shared<FakeV4l2Kernel>();
    kernel->AddCamera(
        {.node = "/dev/video0",
         .card = "Cam",
         .formats = {{.fourcc = V4L2_PIX_FMT_BGR32, .sizes = {{32, 24, {{1, 30}}}}}}});
    auto effects = std::make_shared<EffectLog>();
    std::atomic<int> bitmaps{0};
    std::atomic<int> painted{0};
    CameraPreview preview({.cameras =
                               [kernel](std::string_view) {
                                   return std::make_shared<platform::camera::V4l2CameraSystem>(
                                       kernel);
                               },
                           .effects = PaintEffects(effects),
                           .previewFrame =
                               [&](std::shared_ptr<BgraBitmap> bitmap) {
                                   painted += bitmap->Pixels()[1] == 200;
                                   ++bitmaps;
                               }});
    ASSERT_TRUE(preview.Start("/dev/video0", 32, 24, 30, {.Mode = 1, .Quality = 2}));
    ASSERT_NE(preview.BeginShare(), 0u);
    const std::vector<uint8_t> frame(32 * 24 * 4, 60);
    constexpr int kFrames = 5;
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_TRUE(kernel->WaitAllQueued("/dev/video0", 5s));
        ASSERT_TRUE(kernel->PushFrames("/dev/video0", {frame}));
        for (int k = 0; k < 5000 && bitmaps.load() <= i; ++k)
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(bitmaps.load(), kFrames);
    EXPECT_EQ(painted.load(), kFrames) << "the preview shows the processed picture";
    EXPECT_EQ(effects->frames.load(), single ? kFrames : 2 * kFrames);
    EXPECT_EQ(log.Contains("[NativeRecorder] Single-effect-pass preview DISABLED via "
                           "TAMRO_SINGLE_EFFECT_PREVIEW=0"),
              !single);
    preview.Stop();
    EXPECT_EQ(effects->created.load(), effects->destroyed.load())
        << "the share's effect goes with the preview";
    unsetenv("TAMRO_SINGLE_EFFECT_PREVIEW");
}

INSTANTIATE_TEST_SUITE_P(Preview, SingleEffectPassTest, ::testing::Bool());

}  // namespace
}  // namespace tamro::test
