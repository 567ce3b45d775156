#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <optional>
#include <string>

#include "capture/RegionCheck.h"

namespace tamro {
namespace {

constexpr MonitorBounds kPrimary{0, 0, 1920, 1080};
constexpr MonitorBounds kRightOfPrimary{1920, 0, 1280, 720};
constexpr int32_t kMaxInt = std::numeric_limits<int32_t>::max();

struct Case {
    const char* name;
    CaptureRect requested;
    std::optional<CaptureRect> clamped;  // nothing: refused
    MonitorBounds monitor = kPrimary;
    const char* refusalStart = "";
};

Case Refused(const char* name, CaptureRect requested, const char* refusalStart) {
    return {name, requested, std::nullopt, kPrimary, refusalStart};
}

class RegionCheckTest : public ::testing::TestWithParam<Case> {};

TEST_P(RegionCheckTest, ClampsToTheMonitorOrRefuses) {
    const Case& c = GetParam();
    const RegionCheck check(c.requested, c.monitor);
    ASSERT_EQ(check.Accepted(), c.clamped.has_value()) << check.Refusal();
    if (!c.clamped) {
        EXPECT_EQ(check.Refusal().rfind(c.refusalStart, 0), 0u) << check.Refusal();
        EXPECT_FALSE(check.WasClamped());
        return;
    }
    const CaptureRect& got = check.Clamped();
    EXPECT_EQ((std::array{got.X, got.Y, got.Width, got.Height}),
              (std::array{c.clamped->X, c.clamped->Y, c.clamped->Width, c.clamped->Height}));
    const CaptureRect& r = c.requested;
    EXPECT_EQ(check.WasClamped(),
              r.X != got.X || r.Y != got.Y || r.Width != got.Width || r.Height != got.Height);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, RegionCheckTest,
    ::testing::Values(
        Case{"Inside", {100, 50, 640, 352}, CaptureRect{100, 50, 640, 352}},
        Case{"PartlyOutside", {1800, 900, 400, 300}, CaptureRect{1800, 900, 120, 180}},
        Case{"OddSizesRoundDown", {10, 10, 801, 601}, CaptureRect{10, 10, 800, 600}},
        // Only the part on the monitor: not shifted onto it, which would record pixels never
        // asked for.
        Case{"NegativeOrigin", {-50, -50, 400, 300}, CaptureRect{0, 0, 350, 250}},
        Case{"LargerThanMonitor", {-10, -10, 5000, 5000}, CaptureRect{0, 0, 1920, 1080}},
        Case{"ExactlyTheMinimumLeft", {1819, 979, 400, 300}, CaptureRect{1819, 979, 100, 100}},
        Case{"MonitorAwayFromOrigin",
             {1100, 500, 400, 300},
             CaptureRect{1100, 500, 180, 220},
             kRightOfPrimary},
        Refused(
            "OneSideTooSmall", {1900, 0, 400, 300},
            "Region 1900,0 400x300 has only 20x300 on monitor 0,0 1920x1080 (region relative to "
            "the monitor's top-left corner; at least 100x100 must lie on it)"),
        Refused("TooSmallInside", {10, 10, 99, 400},
                "Region 10,10 99x400 has only 99x400 on monitor"),
        Refused("RightOfMonitor", {1920, 0, 400, 300},
                "Region 1920,0 400x300 is outside monitor 0,0 1920x1080"),
        Refused("AboveAndLeft", {-500, -400, 400, 300},
                "Region -500,-400 400x300 is outside monitor"),
        Refused("FarOffOriginDoesNotWrap", {kMaxInt - 10, 0, kMaxInt, 300},
                "Region 2147483637,0 2147483647x300 is outside monitor")),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tamro
