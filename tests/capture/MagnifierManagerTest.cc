#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "capture/MagnifierManager.h"
#include "platform/system/ManualClock.h"
#include "support/LogCapture.h"

namespace tamro {
namespace {

constexpr int64_t kMs = 1'000'000;

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

// The magnifier on simulated time: its animation steps exactly when the test moves the clock.
class MagnifierManagerTest : public ::testing::Test {
  protected:
    // Zooms and runs the clock for `runNs`.
    void ZoomAndRun(double zoom, double durationMs, int64_t runNs) {
        m_magnifier->ZoomTo(zoom, 960, 540, 1920, 1080, durationMs);
        EXPECT_TRUE(m_magnifier->IsAnimating());
        ASSERT_TRUE(m_clock->AwaitTimedWaiters(1)) << "the first step is done";
        ASSERT_TRUE(m_clock->Advance(runNs));
    }

    const std::shared_ptr<platform::ManualClock> m_clock =
        std::make_shared<platform::ManualClock>();
    std::shared_ptr<RecordingScreen> m_screen = std::make_shared<RecordingScreen>();
    std::unique_ptr<MagnifierManager> m_magnifier = std::make_unique<MagnifierManager>(
        MagnifierManager::Options{.enabled = true,
                                  .setTransform =
                                      [screen = m_screen](double zoom, int32_t x, int32_t y) {
                                          std::lock_guard lock(screen->mutex);
                                          screen->transforms.push_back({zoom, x, y});
                                          return screen->error.load();
                                      },
                                  .uninitialize = [screen = m_screen] { ++screen->uninitialized; },
                                  .clock = m_clock});
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

// One step every 16 ms, from the start to the first step at or past the duration.
TEST_F(MagnifierManagerTest, AnimatesMonotonicallyToTheClampedTargetEvenWhenStepsAreRefused) {
    ZoomAndRun(25, 300, 400 * kMs);
    EXPECT_FALSE(m_magnifier->IsAnimating());
    EXPECT_EQ(m_magnifier->CurrentZoom(), MagnifierManager::kMaximumZoom);
    const auto zoomIn = m_screen->Transforms();
    ASSERT_EQ(zoomIn.size(), 20u) << "steps at 0, 16, ... 304 ms";
    EXPECT_EQ(zoomIn.back().x, 864);
    EXPECT_EQ(zoomIn.back().y, 486);
    for (size_t i = 1; i < zoomIn.size(); ++i)
        EXPECT_GE(zoomIn[i].zoom, zoomIn[i - 1].zoom);

    test::LogCapture log;
    m_screen->error = 5;
    ZoomAndRun(0.2, 100, 200 * kMs);
    EXPECT_FALSE(m_magnifier->IsAnimating());
    const auto all = m_screen->Transforms();
    EXPECT_EQ(all.size() - zoomIn.size(), 8u) << "steps at 0, 16, ... 112 ms";
    for (size_t i = zoomIn.size() + 1; i < all.size(); ++i)
        EXPECT_LE(all[i].zoom, all[i - 1].zoom);
    EXPECT_EQ(all.back().zoom, 1.0);
    EXPECT_EQ(m_magnifier->CurrentZoom(), 1.0);
    EXPECT_EQ(m_magnifier->CurrentOffset(), (MagnifierOffset{0, 0}));
    EXPECT_EQ(log.Count("[MagnifierManager] MagSetFullscreenTransform failed: error 5"), 8);
}

TEST_F(MagnifierManagerTest, StopEndsTheAnimationAndRestoresTheScreenForGood) {
    m_magnifier->ZoomTo(4, 1500, 800, 1920, 1080, 1000);
    ASSERT_TRUE(m_clock->AwaitTimedWaiters(1));
    ASSERT_TRUE(m_clock->Advance(80 * kMs));
    EXPECT_EQ(m_screen->Transforms().size(), 6u) << "steps at 0, 16, ... 80 ms";
    m_magnifier->Stop();
    EXPECT_FALSE(m_magnifier->IsAnimating());
    EXPECT_FALSE(m_magnifier->IsEnabled());
    EXPECT_EQ(m_magnifier->CurrentZoom(), 1.0);
    EXPECT_EQ(m_screen->uninitialized, 1);
    const auto transforms = m_screen->Transforms();
    ASSERT_EQ(transforms.size(), 7u);
    EXPECT_EQ(std::tuple(transforms.back().zoom, transforms.back().x, transforms.back().y),
              std::tuple(1.0, 0, 0));
    ASSERT_TRUE(m_clock->Advance(40 * kMs));
    EXPECT_EQ(m_screen->Transforms().size(), transforms.size()) << "nothing animates after Stop";
    m_magnifier->ZoomTo(2, 0, 0, 1920, 1080, 10);
    EXPECT_FALSE(m_magnifier->IsAnimating());
}

}  // namespace
}  // namespace tamro
