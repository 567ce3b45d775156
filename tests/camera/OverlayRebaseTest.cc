#include <gtest/gtest.h>

#include "camera/OverlayRebase.h"

namespace tamro {
namespace {

constexpr int32_t kFps = 30;
constexpr int64_t kFrame = 10'000'000 / kFps;

// The first measurement replaces the initial estimate: a screen frame 50 ms after the camera's
// is stamped the camera's time less 50 ms.
TEST(OverlayRebaseTest, FirstFrameTakesTheMeasuredDelay) {
    OverlayRebase rebase;
    rebase.Reset(1'000'000);
    const int64_t camera = 10'000'000;
    EXPECT_EQ(rebase.Rebase(camera + 500'000, camera, kFps), camera - 500'000);
    EXPECT_TRUE(rebase.DelayMeasured());
    EXPECT_EQ(rebase.SmoothedDelay(), 500'000);

    // Later measurements move the estimate by a 32nd, clamped to 20..150 ms.
    EXPECT_EQ(rebase.Rebase(camera + 1'100'000, camera + 600'000, kFps),
              camera + 600'000 - 500'000);
    EXPECT_EQ(rebase.SmoothedDelay(), 500'000);
    rebase.Rebase(camera + 2'000'000, camera + 2'000'000 - 100'000, kFps);
    EXPECT_EQ(rebase.SmoothedDelay(), (500'000 * 31 + 200'000) / 32) << "sample clamped to 20 ms";
}

TEST(OverlayRebaseTest, NoCameraTimeKeepsTheScreenTime) {
    OverlayRebase rebase;
    rebase.Reset(1'000'000);
    EXPECT_EQ(rebase.Rebase(4'000'000, 0, kFps), 4'000'000);
    EXPECT_EQ(rebase.Rebase(4'333'333, -5, kFps), 4'333'333);
    EXPECT_FALSE(rebase.DelayMeasured());
    EXPECT_EQ(rebase.LastRebased(), 0);
}

// A camera more than 120 ms behind is not measured; its frames are stamped the screen's time less
// the estimate, or one camera frame after the last when that would not move forward.
TEST(OverlayRebaseTest, CameraFarBehindIsNotMeasured) {
    OverlayRebase rebase;
    rebase.Reset(1'000'000);
    EXPECT_EQ(rebase.Rebase(5'000'000, 3'000'000, kFps), 4'000'000);
    EXPECT_FALSE(rebase.DelayMeasured());
    EXPECT_EQ(rebase.SmoothedDelay(), 1'000'000);
    // pts − delay = 4'100'000 > 4'000'000: taken.
    EXPECT_EQ(rebase.Rebase(5'100'000, 3'000'000, kFps), 4'100'000);
    // pts − delay = 4'050'000 is not above the last: last + one camera frame, at most pts.
    EXPECT_EQ(rebase.Rebase(5'050'000, 3'000'000, kFps), 4'100'000 + kFrame);
    EXPECT_EQ(rebase.Rebase(4'200'000, 2'000'000, 1), 4'200'000) << "capped at the screen time";
}

// A candidate not above the last rebased time moves on by one frame of the camera's rate, never
// past the screen's time; the camera's rate, not the recording's, sets the step.
TEST(OverlayRebaseTest, StaleCandidateStepsByTheCameraFrame) {
    OverlayRebase rebase;
    rebase.Reset(1'000'000);
    const int64_t first = rebase.Rebase(2'500'000, 2'000'000, 15);
    EXPECT_EQ(first, 1'500'000);
    EXPECT_EQ(rebase.Rebase(2'600'000, 2'000'000, 15), first + 10'000'000 / 15);
    EXPECT_EQ(rebase.Rebase(2'700'000, 2'000'000, 0), 2'700'000) << "rate 0 taken as 1, capped";
    const int64_t delay = rebase.SmoothedDelay();
    rebase.ClearLast();
    EXPECT_EQ(rebase.LastRebased(), 0);
    EXPECT_EQ(rebase.SmoothedDelay(), delay) << "a new time line keeps the estimate";
}

// A camera ahead of the screen (negative difference) is not measured and never stamps a frame
// after its screen time.
TEST(OverlayRebaseTest, CameraAheadIsNotMeasured) {
    OverlayRebase rebase;
    rebase.Reset(1'000'000);
    EXPECT_EQ(rebase.Rebase(3'000'000, 3'400'000, kFps), 2'400'000);
    EXPECT_FALSE(rebase.DelayMeasured());
}

}  // namespace
}  // namespace tamro
