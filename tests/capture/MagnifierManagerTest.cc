#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
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
    uint32_t error = 0;
    int uninitialized = 0;
};

std::unique_ptr<MagnifierManager> EnabledMagnifier(const std::shared_ptr<RecordingScreen>& screen) {
    return std::make_unique<MagnifierManager>(
        MagnifierManager::Options{.enabled = true,
                                  .setTransform =
                                      [screen](double zoom, int32_t x, int32_t y) {
                                          std::lock_guard lock(screen->mutex);
                                          screen->transforms.push_back({zoom, x, y});
                                          return screen->error;
                                      },
                                  .uninitialize = [screen] { ++screen->uninitialized; }});
}

bool WaitForRest(const MagnifierManager& magnifier) {
    for (int i = 0; i < 400 && magnifier.IsAnimating(); ++i)
        std::this_thread::sleep_for(5ms);
    return !magnifier.IsAnimating();
}

TEST(MagnifierManagerTest, StaysDisabledOnThisPlatform) {
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

TEST(MagnifierManagerTest, OffsetCentresTheViewAndKeepsItOnTheDisplay) {
    const MagnifierManager magnifier;
    EXPECT_EQ(magnifier.ComputeOffset(960, 540, 1920, 1080, 1.0), (MagnifierOffset{0, 0}));
    EXPECT_EQ(magnifier.ComputeOffset(1900, 1000, 1920, 1080, 0.5), (MagnifierOffset{0, 0}));
    EXPECT_EQ(magnifier.ComputeOffset(960, 540, 1920, 1080, 2.0), (MagnifierOffset{480, 270}));
    EXPECT_EQ(magnifier.ComputeOffset(1900, 1070, 1920, 1080, 2.0), (MagnifierOffset{960, 540}));
    EXPECT_EQ(magnifier.ComputeOffset(10, 10, 1920, 1080, 2.0), (MagnifierOffset{0, 0}));
    // 1920 / 3 = 640: 1000.6 - 320 rounds to 681.
    EXPECT_EQ(magnifier.ComputeOffset(1000.6, 540, 1920, 1080, 3.0).x, 681);
}

TEST(MagnifierManagerTest, ZoomsInAndOutMonotonicallyToTheClampedTarget) {
    auto screen = std::make_shared<RecordingScreen>();
    auto magnifier = EnabledMagnifier(screen);
    magnifier->ZoomTo(25, 960, 540, 1920, 1080, 300);
    EXPECT_TRUE(magnifier->IsAnimating());
    ASSERT_TRUE(WaitForRest(*magnifier));
    EXPECT_EQ(magnifier->CurrentZoom(), MagnifierManager::kMaximumZoom);
    const auto zoomIn = screen->Transforms();
    ASSERT_GE(zoomIn.size(), 3u) << "steps, not a jump";
    EXPECT_EQ(zoomIn.back().zoom, 10.0);
    EXPECT_EQ(zoomIn.back().x, 864);
    EXPECT_EQ(zoomIn.back().y, 486);
    for (size_t i = 1; i < zoomIn.size(); ++i) {
        EXPECT_GE(zoomIn[i].zoom, zoomIn[i - 1].zoom);
        EXPECT_GE(zoomIn[i].x, 0);
        EXPECT_LE(zoomIn[i].x, 1920 - 1920 / zoomIn[i].zoom + 0.5);
    }

    magnifier->ZoomTo(0.2, 960, 540, 1920, 1080, 100);
    ASSERT_TRUE(WaitForRest(*magnifier));
    const auto all = screen->Transforms();
    for (size_t i = zoomIn.size() + 1; i < all.size(); ++i)
        EXPECT_LE(all[i].zoom, all[i - 1].zoom);
    EXPECT_EQ(all.back().zoom, 1.0);
    EXPECT_EQ(all.back().x, 0);
    EXPECT_EQ(magnifier->CurrentOffset(), (MagnifierOffset{0, 0}));
}

TEST(MagnifierManagerTest, RefusedStepsAreLoggedAndTheAnimationFinishes) {
    test::LogCapture log;
    auto screen = std::make_shared<RecordingScreen>();
    screen->error = 5;
    auto magnifier = EnabledMagnifier(screen);
    magnifier->ZoomTo(2, 960, 540, 1920, 1080, 60);
    ASSERT_TRUE(WaitForRest(*magnifier));
    EXPECT_EQ(magnifier->CurrentZoom(), 2.0);
    EXPECT_GE(log.Count("[MagnifierManager] MagSetFullscreenTransform failed: error 5"), 2);
}

TEST(MagnifierManagerTest, StopEndsTheAnimationAndRestoresTheScreen) {
    auto screen = std::make_shared<RecordingScreen>();
    auto magnifier = EnabledMagnifier(screen);
    magnifier->ZoomTo(4, 1500, 800, 1920, 1080, 1000);
    std::this_thread::sleep_for(80ms);
    magnifier->Stop();
    EXPECT_FALSE(magnifier->IsAnimating());
    EXPECT_FALSE(magnifier->IsEnabled());
    EXPECT_EQ(magnifier->CurrentZoom(), 1.0);
    EXPECT_EQ(screen->uninitialized, 1);
    const auto transforms = screen->Transforms();
    ASSERT_GE(transforms.size(), 2u);
    EXPECT_EQ(transforms.back().zoom, 1.0);
    EXPECT_EQ(transforms.back().x, 0);
    EXPECT_EQ(transforms.back().y, 0);
    const size_t stopped = transforms.size();
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(screen->Transforms().size(), stopped) << "nothing animates after Stop";
    magnifier->ZoomTo(2, 0, 0, 1920, 1080, 10);
    EXPECT_FALSE(magnifier->IsAnimating()) << "disabled for good";
}

}  // namespace
}  // namespace tamro
