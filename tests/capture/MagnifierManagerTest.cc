#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "capture/MagnifierManager.h"
#include "support/LogCapture.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

struct Transform {
    double zoom;
    int32_t x;
    int32_t y;
};

// Stands in for the system's full-screen magnification.
struct RecordingScreen {
    std::vector<Transform> Transforms() {
        std::lock_guard lock(mutex);
        return transforms;
    }
    std::mutex mutex;
    std::vector<Transform> transforms;
    std::atomic<uint32_t> error = 0;
    int uninitialized = 0;
};

class MagnifierManagerTest : public ::testing::Test {
  protected:
    bool WaitForRest() {
        for (int i = 0; i < 400 && m_magnifier->IsAnimating(); ++i)
            std::this_thread::sleep_for(5ms);
        return !m_magnifier->IsAnimating();
    }

    std::shared_ptr<RecordingScreen> m_screen = std::make_shared<RecordingScreen>();
    std::unique_ptr<MagnifierManager> m_magnifier =
        std::make_unique<MagnifierManager>(MagnifierManager::Options{
            .enabled = true,
            .setTransform =
                [screen = m_screen](double zoom, int32_t x, int32_t y) {
                    std::lock_guard lock(screen->mutex);
                    screen->transforms.push_back({zoom, x, y});
                    return screen->error.load();
                },
            .uninitialize = [screen = m_screen] { ++screen->uninitialized; }});
};

TEST(MagnifierManagerDisabledTest, StaysDisabledOnThisPlatform) {
    test::LogCapture log;
    MagnifierManager magnifier;
    EXPECT_FALSE(magnifier.IsEnabled());
    magnifier.ZoomTo(3, 960, 540, 1920, 1080, 100);
    EXPECT_FALSE(magnifier.IsAnimating());
    EXPECT_EQ(magnifier.CurrentZoom(), 1.0);
    magnifier.Stop();
    EXPECT_FALSE(magnifier.ApplyTransform(2, 0, 0));
    EXPECT_TRUE(log.Contains("[MagnifierManager] MagSetFullscreenTransform failed: error 50"));
}

TEST(MagnifierManagerDisabledTest, OffsetCentresTheViewAndKeepsItOnTheDisplay) {
    const MagnifierManager magnifier;
    EXPECT_EQ(magnifier.ComputeOffset(960, 540, 1920, 1080, 2.0), (MagnifierOffset{480, 270}));
    EXPECT_EQ(magnifier.ComputeOffset(1900, 1070, 1920, 1080, 2.0), (MagnifierOffset{960, 540}));
    EXPECT_EQ(magnifier.ComputeOffset(10, 10, 1920, 1080, 2.0), (MagnifierOffset{0, 0}));
    EXPECT_EQ(magnifier.ComputeOffset(1900, 1000, 1920, 1080, 0.5), (MagnifierOffset{0, 0}));
    // 1920 / 3 = 640: 1000.6 - 320 rounds to 681.
    EXPECT_EQ(magnifier.ComputeOffset(1000.6, 540, 1920, 1080, 3.0).x, 681);
}

TEST_F(MagnifierManagerTest, AnimatesMonotonicallyToTheClampedTargetEvenWhenStepsAreRefused) {
    m_magnifier->ZoomTo(25, 960, 540, 1920, 1080, 300);
    EXPECT_TRUE(m_magnifier->IsAnimating());
    ASSERT_TRUE(WaitForRest());
    EXPECT_EQ(m_magnifier->CurrentZoom(), MagnifierManager::kMaximumZoom);
    const auto zoomIn = m_screen->Transforms();
    ASSERT_GE(zoomIn.size(), 3u) << "steps, not a jump";
    EXPECT_EQ(zoomIn.back().x, 864);
    EXPECT_EQ(zoomIn.back().y, 486);
    for (size_t i = 1; i < zoomIn.size(); ++i)
        EXPECT_GE(zoomIn[i].zoom, zoomIn[i - 1].zoom);

    test::LogCapture log;
    m_screen->error = 5;
    m_magnifier->ZoomTo(0.2, 960, 540, 1920, 1080, 100);
    ASSERT_TRUE(WaitForRest());
    const auto all = m_screen->Transforms();
    for (size_t i = zoomIn.size() + 1; i < all.size(); ++i)
        EXPECT_LE(all[i].zoom, all[i - 1].zoom);
    EXPECT_EQ(all.back().zoom, 1.0);
    EXPECT_EQ(m_magnifier->CurrentZoom(), 1.0);
    EXPECT_EQ(m_magnifier->CurrentOffset(), (MagnifierOffset{0, 0}));
    EXPECT_GE(log.Count("[MagnifierManager] MagSetFullscreenTransform failed: error 5"), 2);
}

TEST_F(MagnifierManagerTest, StopEndsTheAnimationAndRestoresTheScreenForGood) {
    m_magnifier->ZoomTo(4, 1500, 800, 1920, 1080, 1000);
    std::this_thread::sleep_for(80ms);
    m_magnifier->Stop();
    EXPECT_FALSE(m_magnifier->IsAnimating());
    EXPECT_FALSE(m_magnifier->IsEnabled());
    EXPECT_EQ(m_magnifier->CurrentZoom(), 1.0);
    EXPECT_EQ(m_screen->uninitialized, 1);
    const auto transforms = m_screen->Transforms();
    ASSERT_GE(transforms.size(), 2u);
    EXPECT_EQ(std::tuple(transforms.back().zoom, transforms.back().x, transforms.back().y),
              std::tuple(1.0, 0, 0));
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(m_screen->Transforms().size(), transforms.size()) << "nothing animates after Stop";
    m_magnifier->ZoomTo(2, 0, 0, 1920, 1080, 10);
    EXPECT_FALSE(m_magnifier->IsAnimating());
}

}  // namespace
}  // namespace tamro
