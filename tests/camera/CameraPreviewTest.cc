// The live preview on a camera of the fake kernel: overlapping starts, the two ways frames leave
// it (the bubble window, or bitmaps), the latch between them, the window switch, and its effect.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#include "camera/CameraPreview.h"
#include "camera/PreviewFakes.h"
#include "camera/PreviewReadback.h"
#include "platform/FakeV4l2Kernel.h"
#include "platform/camera/V4l2CameraSystem.h"
#include "support/LogCapture.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;

constexpr char kNode[] = "/dev/video0";
constexpr uint32_t kWidth = 32, kHeight = 24;
constexpr std::array<uint8_t, 3> kPaint{0, 200, 0};
// The em dash of the log's wording, as its bytes read one by one.
#define DASH "\xC3\xA2\xE2\x82\xAC\xE2\x80\x9D"

// Pictures raised by the preview; the test waits for them.
struct Pictures {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::shared_ptr<BgraBitmap>> bitmaps;

    size_t Count() {
        std::lock_guard lock(mutex);
        return bitmaps.size();
    }
    std::array<uint8_t, 3> LastCentre() {
        std::lock_guard lock(mutex);
        const auto& b = bitmaps.back();
        const uint8_t* p = b->Row(b->Height() / 2) + b->Width() / 2 * 4;
        return {p[0], p[1], p[2]};
    }
};

class CameraPreviewTest : public ::testing::Test {
  protected:
    CameraPreviewTest() {
        m_kernel->AddCamera(
            {.node = kNode,
             .card = "Preview Cam",
             .formats = {{.fourcc = V4L2_PIX_FMT_BGR32, .sizes = {{kWidth, kHeight, {{1, 30}}}}}}});
        m_preview = std::make_unique<CameraPreview>(Environment());
    }
    ~CameraPreviewTest() override { m_preview.reset(); }

    CameraPreview::Environment Environment() {
        return {.cameras =
                    [this](std::string_view) {
                        if (m_onOpen)
                            m_onOpen();
                        return std::make_shared<platform::camera::V4l2CameraSystem>(m_kernel);
                    },
                .effects = PaintEffects(m_effects, kPaint),
                .surfaces = FakeSurfaces(m_surface),
                .previewFrame =
                    [this](std::shared_ptr<BgraBitmap> bitmap) {
                        if (m_onPicture)
                            m_onPicture();
                        std::lock_guard lock(m_pictures.mutex);
                        m_pictures.bitmaps.push_back(std::move(bitmap));
                        m_pictures.arrived.notify_all();
                    }};
    }

    bool Start(BackgroundEffectConfig effect = {}) {
        return m_preview->Start(kNode, 640, 480, 30, effect);
    }

    // Pushes one frame of `colour` and waits until it has left the preview by either way.
    bool Show(std::array<uint8_t, 3> colour) {
        const size_t before = m_pictures.Count() + m_surface->Presents();
        std::vector<uint8_t> frame;
        for (uint32_t i = 0; i < kWidth * kHeight; ++i)
            frame.insert(frame.end(), {colour[0], colour[1], colour[2], 255});
        if (!m_kernel->WaitAllQueued(kNode, 5s) || !m_kernel->PushFrames(kNode, {frame}))
            return false;
        for (int i = 0; i < 5000; ++i) {
            if (m_pictures.Count() + m_surface->Presents() > before)
                return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    std::shared_ptr<FakeV4l2Kernel> m_kernel = std::make_shared<FakeV4l2Kernel>();
    std::shared_ptr<EffectLog> m_effects = std::make_shared<EffectLog>();
    std::shared_ptr<SurfaceLog> m_surface = std::make_shared<SurfaceLog>();
    std::function<void()> m_onOpen;
    std::function<void()> m_onPicture;
    Pictures m_pictures;
    LogCapture m_log;
    std::unique_ptr<CameraPreview> m_preview;
};

TEST_F(CameraPreviewTest, OverlappingStartsAreRefusedAndAStartWhileRunningSucceeds) {
    // The first start is held inside the camera's opening.
    std::promise<void> entered, release;
    std::atomic<bool> held{false};
    m_onOpen = [&, gate = release.get_future().share()] {
        if (held.exchange(true))
            return;
        entered.set_value();
        gate.wait();
    };
    auto first = std::async(std::launch::async, [this] { return Start(); });
    entered.get_future().wait();
    EXPECT_FALSE(Start());
    EXPECT_TRUE(
        m_log.Contains("[NativeRecorder] StartCameraPreviewAsync: start already in progress"));
    release.set_value();
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(m_preview->IsRunning());
    const int opens = m_kernel->Opens(kNode);
    EXPECT_TRUE(Start());
    EXPECT_EQ(m_kernel->Opens(kNode), opens) << "the running camera is kept";
}

TEST_F(CameraPreviewTest, WithoutAWindowFramesArriveAsBitmapsAndStampTheFrameTime) {
    EXPECT_EQ(m_preview->FrameTime(), 0);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Show({10, 20, 30}));
    EXPECT_EQ(m_pictures.LastCentre(), (std::array<uint8_t, 3>{10, 20, 30}));
    EXPECT_EQ(m_pictures.bitmaps.back()->Width(), kWidth);
    const int64_t first = m_preview->FrameTime();
    EXPECT_GT(first, 0);
    ASSERT_TRUE(Show({40, 50, 60}));
    EXPECT_GT(m_preview->FrameTime(), first);
    m_preview->Stop();
    EXPECT_FALSE(m_preview->IsRunning());
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);
}

// A window takes the frames; once it fails, that frame and every later one arrive as bitmaps
// until a window is attached again. A stop forgets the window.
TEST_F(CameraPreviewTest, AFailedWindowLatchesToBitmapsUntilTheNextAttach) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(m_preview->AttachBubble(7, 48, 48));
    EXPECT_TRUE(m_preview->IsGpuBubbleActive());
    ASSERT_TRUE(Show({1, 2, 3}));
    EXPECT_EQ(m_surface->Presents(), 1u);
    EXPECT_EQ(m_pictures.Count(), 0u);

    m_surface->failPresentFrom = 2;
    ASSERT_TRUE(Show({4, 5, 6}));
    for (int i = 0; i < 2000 && m_pictures.Count() == 0; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(m_pictures.Count(), 1u) << "the failed frame itself is read back";
    EXPECT_FALSE(m_preview->IsGpuBubbleActive());
    EXPECT_EQ(m_log.Count("[NativeRecorder] GPU bubble present failed " DASH
                          " falling back to layered readback path"),
              1);
    ASSERT_TRUE(Show({7, 8, 9}));
    EXPECT_EQ(m_surface->Presents(), 2u);
    EXPECT_EQ(m_pictures.Count(), 2u);

    m_surface->failPresentFrom = 0;
    ASSERT_TRUE(m_preview->AttachBubble(7, 48, 48));
    ASSERT_TRUE(Show({10, 11, 12}));
    EXPECT_EQ(m_surface->Presents(), 3u);
    EXPECT_EQ(m_surface->Pixel(24, 24), (std::array<uint8_t, 4>{10, 11, 12, 255}));

    m_preview->Stop();
    EXPECT_FALSE(m_preview->IsGpuBubbleActive());
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Show({13, 14, 15}));
    EXPECT_EQ(m_pictures.Count(), 3u) << "the window must be attached again";
}

TEST_F(CameraPreviewTest, GpuBubbleSwitchCountsOnlyItsFirstCharacterAndShortValues) {
    struct Case {
        const char* value;
        bool attaches;
    };
    for (const Case c : {Case{"0", false}, Case{"00", false}, Case{"0123456", false},
                         Case{"01234567", true}, Case{"1", true}, Case{"", true}}) {
        setenv("TAMRO_GPU_BUBBLE", c.value, 1);
        EXPECT_EQ(m_preview->AttachBubble(7, 48, 48), c.attaches) << "'" << c.value << "'";
        EXPECT_EQ(m_preview->IsGpuBubbleActive(), c.attaches);
        EXPECT_TRUE(m_preview->AttachBubble(0, 0, 0)) << "a null window detaches";
        EXPECT_FALSE(m_preview->IsGpuBubbleActive());
    }
    unsetenv("TAMRO_GPU_BUBBLE");
    EXPECT_FALSE(m_preview->AttachBubble(7, 0, 48));
    EXPECT_TRUE(m_log.Contains("[BubblePresenter] Initialize: invalid parameters"));
}

TEST_F(CameraPreviewTest, EffectOffDestroysItAndOnAgainMakesANewOne) {
    ASSERT_TRUE(Start({.Mode = 1, .Quality = 2}));
    ASSERT_TRUE(Show({1, 2, 3}));
    EXPECT_EQ(m_pictures.LastCentre(), kPaint);
    m_preview->SetEffect({});
    EXPECT_EQ(m_effects->destroyed, 1) << "not sharing: the preview's effect is the only one";
    ASSERT_TRUE(Show({1, 2, 3}));
    EXPECT_EQ(m_pictures.LastCentre(), (std::array<uint8_t, 3>{1, 2, 3}));
    m_preview->SetEffect({.Mode = 2, .Quality = 2});
    ASSERT_TRUE(Show({1, 2, 3}));
    EXPECT_EQ(m_pictures.LastCentre(), kPaint);
    EXPECT_EQ(m_effects->created, 2);
}

// A handler may stop the preview from the frame's own thread.
TEST_F(CameraPreviewTest, AFrameHandlerMayStopThePreview) {
    m_onPicture = [this] { m_preview->Stop(); };
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Show({1, 2, 3}));
    for (int i = 0; i < 2000 && m_preview->IsRunning(); ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(m_preview->IsRunning());
    m_onPicture = nullptr;
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Show({4, 5, 6}));
}

// The staging texture follows the frames' size; failed maps are said on the 1st, 31st ...
TEST(PreviewReadbackTest, FollowsTheFrameSizeAndLimitsMapFailureLines) {
    LogCapture log;
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    PreviewReadback readback;
    ASSERT_TRUE(readback.Create(device.get(), 32, 24));
    for (auto [w, h] : {std::pair{32u, 24u}, {16u, 8u}}) {
        std::vector<uint8_t> pixels(size_t{w} * h * 4, 77);
        std::shared_ptr<gfx::Texture> frame;
        device->CreateTexture({.width = w, .height = h}, pixels.data(), w * 4, &frame);
        const auto bitmap = readback.Convert(device.get(), frame.get());
        ASSERT_NE(bitmap, nullptr);
        EXPECT_EQ(bitmap->Width(), w);
        EXPECT_EQ(bitmap->Pixels()[size_t{w} * h * 4 - 1], 77);
    }
    std::shared_ptr<gfx::Texture> frame;
    device->CreateTexture({.width = 16, .height = 8}, nullptr, 0, &frame);
    device->SetFaults({.failMap = true});
    for (int i = 0; i < 31; ++i)
        EXPECT_EQ(readback.Convert(device.get(), frame.get()), nullptr);
    EXPECT_EQ(log.Count("[NativeRecorder] Map staging texture failed: 0x"), 2);
}

}  // namespace
}  // namespace tamro::test
