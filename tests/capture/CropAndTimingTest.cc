#include <gtest/gtest.h>

#include "capture/ScreenCapture.h"
#include "support/LogCapture.h"

namespace tamro {
namespace {

TEST(CropClampTest, ClampsToTheSourceAndEvenSizes) {
    test::LogCapture log;
    EXPECT_EQ(ScreenCapture::ClampCrop(-50, -50, 400, 300, 1920, 1080), (CropBox{0, 0, 400, 300}));
    EXPECT_EQ(ScreenCapture::ClampCrop(10, 10, 801, 601, 1920, 1080), (CropBox{10, 10, 800, 600}));
    EXPECT_EQ(ScreenCapture::ClampCrop(1800, 1000, 400, 300, 1920, 1080),
              std::nullopt);  // 120 x 80 left
    EXPECT_EQ(ScreenCapture::ClampCrop(1820, 980, 400, 300, 1920, 1080),
              (CropBox{1820, 980, 100, 100}));
    EXPECT_EQ(ScreenCapture::ClampCrop(1900, 0, 400, 300, 1920, 1080), std::nullopt);
    EXPECT_TRUE(
        log.Contains("[ScreenCapture] Crop region too small after clamping: 20x300, ignoring"));
}

TEST(EmissionTimestampTest, StrictlyIncreasesFromTheOrigin) {
    EXPECT_EQ(ScreenCapture::EmissionTimestamp(1'000'000'000, 0, 0), 10'000'000);
    EXPECT_EQ(ScreenCapture::EmissionTimestamp(0, 0, 0), 10'000) << "equal to last: +1 ms";
    EXPECT_EQ(ScreenCapture::EmissionTimestamp(100'000, 0, 1'000), 11'000);
    EXPECT_EQ(ScreenCapture::EmissionTimestamp(100'000, 0, 999), 1'000);
    EXPECT_EQ(ScreenCapture::EmissionTimestamp(0, 1'000'000, 0), 10'000) << "before the origin";
}

TEST(PacerDeadlineTest, ResynchronisesAfterAStallInsteadOfBursting) {
    constexpr int64_t ms = 1'000'000;
    constexpr int64_t period = ScreenCapture::kPacerPeriodNs;
    EXPECT_EQ(ScreenCapture::NextPacerDeadline(100 * ms, 101 * ms), 100 * ms + period);
    // Woken 200 ms late: the deadline restarts from now rather than firing six catch-up ticks.
    EXPECT_EQ(ScreenCapture::NextPacerDeadline(100 * ms, 300 * ms), 300 * ms + period);
    // A lag within the 99 ms allowance is caught up tick by tick.
    EXPECT_EQ(ScreenCapture::NextPacerDeadline(100 * ms, 220 * ms), 100 * ms + period);
    // Thirty ticks are one second to the nanosecond's rounding, so an idle screen gives 30 fps.
    EXPECT_NEAR(30 * period, 1000 * ms, 30);
}

}  // namespace
}  // namespace tamro
