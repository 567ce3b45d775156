#include <gtest/gtest.h>

#include "capture/FocusGeometry.h"

namespace tamro {
namespace {

constexpr FocusSurface kFullHd{};

TEST(FocusGeometryTest, FocusWindowKeepsTheOutputShapeInsideTheDisplay) {
    const FocusGeometry geometry(kFullHd);
    EXPECT_EQ(geometry.FocusAt(0.55, 100, 100), (FocusRect{0, 0, 1056, 594}));
    // Top 243 rounds up to the even 244.
    EXPECT_EQ(geometry.FocusAt(0.55, 960, 540), (FocusRect{432, 244, 1056, 594}));
    EXPECT_EQ(geometry.FocusAt(0.55, 1919, 1079), (FocusRect{864, 486, 1056, 594}));
    EXPECT_EQ(geometry.FocusAt(0.1, 960, 540), (FocusRect{760, 390, 400, 300}));
    EXPECT_EQ(geometry.FocusAt(1.2, 300, 300), (FocusRect{0, 0, 1920, 1080}));

    // A 5:4 recording of a 16:9 display, with a width that is not even before rounding.
    const FocusGeometry boxy({.outputWidth = 1280, .outputHeight = 1024});
    EXPECT_EQ(boxy.FocusAt(0.55, 960, 540), (FocusRect{432, 118, 1056, 844}));
    const FocusGeometry laptop(
        {.width = 1366, .height = 768, .outputWidth = 1366, .outputHeight = 768});
    EXPECT_EQ(laptop.FocusAt(0.55, 0, 0), (FocusRect{0, 0, 752, 422}));
}

TEST(FocusGeometryTest, DisplayOffsetIsAddedBeforeRoundingHalvesAwayFromZero) {
    const FocusGeometry right({.displayX = 1920, .displayY = 0});
    EXPECT_EQ(right.FocusAt(0.55, 960, 540), (FocusRect{2352, 244, 1056, 594}));
    EXPECT_EQ(right.Full(), (FocusRect{1920, 0, 1920, 1080}));
    // Top 243 - 1080 = -837 rounds to -838, not -836.
    const FocusGeometry aboveLeft({.displayX = -1920, .displayY = -1080});
    EXPECT_EQ(aboveLeft.FocusAt(0.55, 960, 540), (FocusRect{-1488, -838, 1056, 594}));
}

TEST(FocusGeometryTest, PulsePeakCentresOnTheCursorWhenInsideAndStaysOnTheDisplay) {
    const FocusGeometry geometry(kFullHd);
    const FocusRect centred{432, 244, 1056, 594};
    EXPECT_EQ(geometry.PulsePeak(centred, 2, 960, 540), (FocusRect{696, 392, 528, 300}));
    // Outside the rectangle the rectangle's own centre is used.
    EXPECT_EQ(geometry.PulsePeak({0, 0, 1056, 594}, 2, 1500, 900), (FocusRect{264, 148, 528, 300}));
    // Pushed back inside at the right and top edges.
    EXPECT_EQ(geometry.PulsePeak(geometry.Full(), 2, 1900, 10), (FocusRect{960, 0, 960, 540}));
    const FocusGeometry right({.displayX = 1920});
    EXPECT_EQ(right.PulsePeak(right.Full(), 2, 1900, 10), (FocusRect{2880, 0, 960, 540}));
    // Never below the minimum window, and a factor that cannot divide leaves the window as is.
    EXPECT_EQ(geometry.PulsePeak({760, 390, 400, 300}, 2, 960, 540),
              (FocusRect{860, 466, 400, 300}));
    EXPECT_EQ(geometry.PulsePeak(centred, 0, 960, 540), (FocusRect{432, 244, 1056, 594}));
}

TEST(FocusGeometryTest, InterpolationRoundsEveryFieldToEven) {
    const FocusRect full{0, 0, 1920, 1080};
    const FocusRect focus{432, 244, 1056, 594};
    EXPECT_EQ(InterpolateRect(full, focus, 0), full);
    EXPECT_EQ(InterpolateRect(full, focus, 1), focus);
    EXPECT_EQ(InterpolateRect(full, focus, 0.5), (FocusRect{216, 122, 1488, 838}));
    EXPECT_EQ(InterpolateRect({-3, 3, 0, 0}, {-3, 3, 0, 0}, 0.5), (FocusRect{-4, 4, 2, 2}));
    for (double e = 0; e <= 1; e += 0.05) {
        const FocusRect r = InterpolateRect(full, {431, 243, 1057, 595}, e);
        EXPECT_EQ(r.x % 2 | r.y % 2 | r.width % 2 | r.height % 2, 0) << e;
    }
}

TEST(FocusGeometryTest, EasingCurvesRunMonotonicallyFromZeroToOne) {
    EXPECT_DOUBLE_EQ(EaseZoomIn(0), 0);
    EXPECT_DOUBLE_EQ(EaseZoomIn(0.5), 0.75);
    EXPECT_DOUBLE_EQ(EaseZoomIn(1), 1);
    EXPECT_DOUBLE_EQ(EaseZoomOut(0.25), 0.125);
    EXPECT_DOUBLE_EQ(EaseZoomOut(0.5), 0.5);
    EXPECT_DOUBLE_EQ(EaseZoomOut(0.75), 0.875);
    EXPECT_DOUBLE_EQ(EaseZoomOut(1), 1);
    EXPECT_DOUBLE_EQ(EaseZoomIn(1.3), 1);
    EXPECT_DOUBLE_EQ(EaseZoomOut(-0.1), 0);
    for (double p = 0.01; p <= 1; p += 0.01) {
        EXPECT_GE(EaseZoomIn(p), EaseZoomIn(p - 0.01));
        EXPECT_GE(EaseZoomOut(p), EaseZoomOut(p - 0.01));
    }
}

}  // namespace
}  // namespace tamro
