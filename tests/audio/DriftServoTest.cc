#include <gtest/gtest.h>

#include <cmath>

#include "audio/DriftServo.h"
#include "support/LogCapture.h"

namespace tamro::test {
namespace {

constexpr int kTicksPerUpdate = DriftServo::kTicksPerUpdate;

// Feeds `updates` servo periods after the hold-off, with a source that keeps delivering.
struct ServoDriver {
    DriftServo servo;
    uint64_t raw = 0;

    double Tick(double fillMs, bool skip = false) {
        raw += 1024;
        return servo.Update(fillMs, skip, raw, "sys");
    }
    void PassHoldoff(double fillMs) {
        for (int i = 0; i < DriftServo::kHoldoffTicks; ++i) {
            EXPECT_EQ(Tick(fillMs), 0.0);
        }
    }
    double Period(double fillMs) {
        double c = 0.0;
        for (int i = 0; i < kTicksPerUpdate; ++i) {
            c = Tick(fillMs);
        }
        return c;
    }
};

TEST(DriftServoTest, DeadBandAroundTheSetpointLeavesTheCorrectionAlone) {
    ServoDriver d;
    d.PassHoldoff(128.0);
    for (int i = 0; i < 600; ++i) {
        const double fill = 128.0 + ((i % 2) != 0 ? 1.9 : -1.9);
        ASSERT_EQ(d.Period(fill), 0.0) << i;
    }
    EXPECT_EQ(d.servo.state().integral, 0.0);
}

TEST(DriftServoTest, ExcessFillRampsAtMostFiftyPpmPerUpdateAndReportsSaturationOnce) {
    LogCapture log;
    ServoDriver d;
    d.PassHoldoff(158.0);
    // The first update wants 0.15 % at once and gets one 50 ppm step.
    double previous = d.Period(158.0);
    EXPECT_NEAR(previous, DriftServo::kMaxStep, 1e-12);
    int updates = 1;
    while (previous < DriftServo::kMaxCorrection - 1e-9 && updates < 500) {
        const double c = d.Period(158.0);
        ASSERT_GT(c, previous);
        ASSERT_LE(c - previous, DriftServo::kMaxStep + 1e-12);
        previous = c;
        ++updates;
    }
    EXPECT_LT(updates, 500) << "never reached the limit";
    EXPECT_FALSE(log.Contains("saturated"));
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(d.Period(158.0), DriftServo::kMaxCorrection, 1e-12);
    }
    // The update that reached the limit was the first saturated one; nine more make ten.
    EXPECT_EQ(log.Count("[AudioCapture] sys drift servo saturated for 10s"), 1);
    for (int i = 0; i < 30; ++i) {
        d.Period(158.0);
    }
    EXPECT_EQ(log.Count("saturated"), 1) << "one line per saturation episode";
    // No integration while saturated: the integral stopped growing at the limit.
    const double integral = d.servo.state().integral;
    d.Period(158.0);
    EXPECT_EQ(d.servo.state().integral, integral);
}

TEST(DriftServoTest, HoldsStillWhileWarmingUpWhenStarvedOrAfterASkippedBlock) {
    ServoDriver d;
    d.PassHoldoff(400.0);
    // A source that delivered nothing during the period is not corrected.
    for (int i = 0; i < kTicksPerUpdate; ++i) {
        ASSERT_EQ(d.servo.Update(400.0, false, d.raw, "sys"), 0.0);
    }
    // A skipped block marks the period dirty: no change at its end, a change at the next.
    d.Tick(400.0, true);
    EXPECT_EQ(d.Period(400.0), 0.0);
    EXPECT_GT(d.Period(400.0), 0.0);
}

TEST(DriftServoTest, RestartAfterGapDropsTheAverageAndTheIntegral) {
    ServoDriver d;
    d.PassHoldoff(200.0);
    d.Period(200.0);
    const double correction = d.servo.Correction();
    ASSERT_GT(d.servo.state().integral, 0.0);
    d.servo.RestartAfterGap();
    EXPECT_EQ(d.servo.state().integral, 0.0);
    EXPECT_EQ(d.servo.state().fillEmaMs, -1.0);
    EXPECT_EQ(d.servo.Correction(), correction) << "the trim itself is kept";
    d.Tick(128.0);
    EXPECT_EQ(d.servo.state().fillEmaMs, 128.0);
}

}  // namespace
}  // namespace tamro::test
