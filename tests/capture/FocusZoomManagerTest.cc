#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "capture/FocusGeometry.h"
#include "capture/FocusZoomManager.h"
#include "capture/IMagnifierManager.h"
#include "platform/system/ManualClock.h"
#include "support/LogCapture.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kMs = 1'000'000;
constexpr FocusRect kFull{0, 0, 1920, 1080};
constexpr FocusRect kCentred{432, 244, 1056, 594};
// A second toggle within 100 ms is held back; 104 ms is early enough to catch an animation
// halfway.
constexpr int64_t kPastDebounce = 120 * kMs;
constexpr int64_t kJustPastDebounce = 104 * kMs;
// Longer than any animation: the zoom-out, the longest, takes 250 ms.
constexpr int64_t kAnimationsOver = 400 * kMs;

struct Crop {
    int64_t atNs;
    FocusRect rect;
};

// The cursor the tracking thread reads and the crops it delivers; shared with the thread, which
// may outlive the test's manager.
struct Scene {
    void MoveTo(int32_t x, int32_t y) {
        std::lock_guard lock(mutex);
        cursor = platform::CursorPosition{x, y};
    }
    std::vector<Crop> Crops() {
        std::lock_guard lock(mutex);
        return crops;
    }
    std::mutex mutex;
    std::optional<platform::CursorPosition> cursor;
    std::vector<Crop> crops;
};

// Polls `done` for a thread to reach a point; the limit only ends a test that would hang.
template <typename Predicate>
bool WaitUntil(Predicate done) {
    for (const auto deadline = std::chrono::steady_clock::now() + 10s; !done();) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::optional<FocusRect> LoggedStartRect(const test::LogCapture& log, const std::string& prefix) {
    for (const std::string& line : log.Lines()) {
        const size_t at = line.find(prefix);
        FocusRect r;
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at + prefix.size(), "startRect=(%d,%d,%dx%d)", &r.x, &r.y,
                        &r.width, &r.height) == 4)
            return r;
    }
    return std::nullopt;
}

class RecordingMagnifier final : public IMagnifierManager {
  public:
    struct Zoom {
        double zoom, centerX, centerY;
        int32_t width, height;
        double durationMs;
    };

    bool IsEnabled() const override { return true; }
    bool IsAnimating() const override { return animating; }
    double CurrentZoom() const override { return zoom; }
    void ZoomTo(double z, double cx, double cy, int32_t w, int32_t h, double ms) override {
        std::lock_guard lock(mutex);
        zooms.push_back({z, cx, cy, w, h, ms});
    }
    MagnifierOffset ComputeOffset(double, double, int32_t, int32_t, double) const override {
        return {offsetX, 0};
    }
    bool ApplyTransform(double, int32_t x, int32_t) override {
        std::lock_guard lock(mutex);
        applied.push_back(x);
        return true;
    }
    void Stop() override { ++stops; }
    std::vector<int32_t> Applied() {
        std::lock_guard lock(mutex);
        return applied;
    }

    std::atomic<bool> animating{false};
    std::atomic<double> zoom{1.0};
    std::atomic<int32_t> offsetX{100};
    std::atomic<int> stops{0};
    std::mutex mutex;
    std::vector<Zoom> zooms;
    std::vector<int32_t> applied;
};

// The manager on simulated time: the tracking thread runs exactly when the test moves the clock.
class FocusZoomManagerTest : public ::testing::Test {
  protected:
    void StartManager(int32_t cursorX = 960, int32_t cursorY = 540,
                      const FocusSurface& surface = {}) {
        m_scene->MoveTo(cursorX, cursorY);
        m_manager = std::make_unique<FocusZoomManager>(
            [scene = m_scene]() -> std::optional<platform::CursorPosition> {
                std::lock_guard lock(scene->mutex);
                return scene->cursor;
            },
            m_clock);
        m_manager->Initialize(surface.displayX, surface.displayY, surface.width, surface.height,
                              surface.outputWidth, surface.outputHeight,
                              {.Flag1 = false,
                               .Flag2 = true,
                               .cropFraction = 0.55,
                               .smoothing = 0.4,
                               .deadZone = 5.0,
                               .pulseFactor = 2.0});
        m_manager->SetCropCallback([scene = m_scene, clock = m_clock](const FocusRect& rect) {
            std::lock_guard lock(scene->mutex);
            scene->crops.push_back({clock->NowNs(), rect});
        });
        m_manager->Start();
        ASSERT_TRUE(m_clock->AwaitTimedWaiters(1)) << "the tracking thread sleeps after a pass";
    }
    void Run(int64_t ns) { ASSERT_TRUE(m_clock->Advance(ns)); }
    std::optional<FocusRect> LastCrop() {
        const auto crops = m_scene->Crops();
        return crops.empty() ? std::nullopt : std::optional(crops.back().rect);
    }
    void SettleFocus(bool on) {
        m_manager->SetCursorFocusActive(on);
        Run(kAnimationsOver);
        EXPECT_FALSE(m_manager->IsTransitionRunning());
    }

    test::LogCapture m_log;
    const std::shared_ptr<platform::ManualClock> m_clock =
        std::make_shared<platform::ManualClock>();
    std::shared_ptr<Scene> m_scene = std::make_shared<Scene>();
    RecordingMagnifier m_magnifier;  // outlives the manager that points at it
    std::unique_ptr<FocusZoomManager> m_manager;
};

TEST_F(FocusZoomManagerTest, ZoomsInOnTheCursorAndOutToTheWholeDisplay) {
    StartManager(2880, 540, {.displayX = 1920});
    const int64_t onNs = m_clock->NowNs();
    SettleFocus(true);
    EXPECT_TRUE(m_manager->IsFocusActive());
    const auto zoomIn = m_scene->Crops();
    ASSERT_GE(zoomIn.size(), 5u) << "an animation, not a jump";
    EXPECT_EQ(zoomIn.back().rect, (FocusRect{2352, 244, 1056, 594}));
    // The first pass comes within an idle period, the last within a step of the 200 ms.
    EXPECT_LE(zoomIn.front().atNs - onNs, 33 * kMs);
    EXPECT_GE(zoomIn.back().atNs - onNs, 200 * kMs);
    EXPECT_LE(zoomIn.back().atNs - onNs, 216 * kMs);
    EXPECT_LT(zoomIn.front().rect.width, 1920);
    for (size_t i = 1; i < zoomIn.size(); ++i)
        EXPECT_LE(zoomIn[i].rect.width, zoomIn[i - 1].rect.width);

    SettleFocus(false);
    EXPECT_FALSE(m_manager->IsFocusActive());
    const auto all = m_scene->Crops();
    ASSERT_GE(all.size(), zoomIn.size() + 5);
    EXPECT_EQ(all.back().rect, (FocusRect{1920, 0, 1920, 1080}));
    for (size_t i = zoomIn.size() + 1; i < all.size(); ++i)
        EXPECT_GE(all[i].rect.width, all[i - 1].rect.width);
    EXPECT_FALSE(m_manager->IsTransitionRunning() || m_manager->IsPulseRunning());
}

TEST_F(FocusZoomManagerTest, TogglesCloserThanTheDebounceAreAppliedByTheTrackingThread) {
    StartManager();
    const int64_t firstNs = m_clock->NowNs();
    m_manager->SetCursorFocusActive(true);
    Run(50 * kMs);
    m_manager->SetCursorFocusActive(false);
    EXPECT_TRUE(m_manager->IsTogglePending());
    EXPECT_TRUE(m_manager->IsFocusActive());
    // Held until 100 ms after the first, then applied by the next pass, 16 ms apart while the
    // zoom-in runs.
    Run(firstNs + 99 * kMs - m_clock->NowNs());
    EXPECT_TRUE(m_manager->IsFocusActive());
    Run(firstNs + 116 * kMs - m_clock->NowNs());
    EXPECT_FALSE(m_manager->IsFocusActive());
    Run(kAnimationsOver);
    EXPECT_FALSE(m_manager->IsTransitionRunning());
    EXPECT_FALSE(m_manager->IsTogglePending());

    // Held requests that come back to the current state change nothing.
    m_manager->SetCursorFocusActive(true);
    m_manager->SetCursorFocusActive(false);
    m_manager->SetCursorFocusActive(true);
    Run(kAnimationsOver);
    EXPECT_FALSE(m_manager->IsTogglePending());
    EXPECT_TRUE(m_manager->IsFocusActive());
    EXPECT_EQ(m_log.Count("Cursor focus OFF (crop mode)"), 1);
}

// Moves inside the dead zone move nothing; past it the crop follows, smoothed, and settles on the
// cursor once it stops. A cursor that never stops gets one crop per 33 ms pass at most.
TEST_F(FocusZoomManagerTest, TrackingFollowsTheCursorPastTheDeadZoneAtMostThirtyTimesASecond) {
    StartManager();
    SettleFocus(true);
    size_t settled = m_scene->Crops().size();
    for (int i = 0; i < 40; ++i) {
        m_scene->MoveTo(960 + (i % 2) * 3, 540 + (i % 3 == 0) * 3);
        Run(10 * kMs);
    }
    EXPECT_EQ(m_scene->Crops().size(), settled) << "inside the dead zone";

    m_scene->MoveTo(1400, 700);
    Run(34 * kMs);
    ASSERT_GT(m_scene->Crops().size(), settled) << "the next pass follows";
    EXPECT_GT(LastCrop()->x, kCentred.x) << "follows the cursor, smoothed";
    EXPECT_NE(LastCrop(), FocusGeometry().FocusAt(0.55, 1400, 700)) << "not at once";
    Run(1000 * kMs);
    EXPECT_EQ(LastCrop(), FocusGeometry().FocusAt(0.55, 1400, 700)) << "not part of the way";

    settled = m_scene->Crops().size();
    for (int i = 0; i < 250; ++i) {
        m_scene->MoveTo(200 + (i * 7) % 1500, 200 + (i * 3) % 700);
        Run(4 * kMs);
    }
    const auto crops = m_scene->Crops();
    const size_t tracked = crops.size() - settled;
    EXPECT_GE(tracked, 20u) << "a window held at the display's edge has nothing new";
    EXPECT_LE(tracked, 31u) << "30 in a second";
    for (size_t i = settled + 1; i < crops.size(); ++i)
        EXPECT_GE(crops[i].atNs - crops[i - 1].atNs, 33 * kMs);
}

// A toggle during an animation starts the next one from where the crop is: a zoom-out from the
// last delivered rectangle, a zoom-in from the whole display.
TEST_F(FocusZoomManagerTest, AToggleDuringAnAnimationStartsFromWhereTheCropIs) {
    StartManager();
    m_manager->SetCursorFocusActive(true);
    Run(kJustPastDebounce);
    ASSERT_TRUE(m_manager->IsTransitionRunning());
    const FocusRect reached = *LastCrop();
    m_manager->SetCursorFocusActive(false);
    EXPECT_FALSE(m_manager->IsTogglePending());
    const auto start = LoggedStartRect(m_log, "Cursor focus OFF (crop mode) - ");
    ASSERT_TRUE(start);
    EXPECT_EQ(*start, reached);
    EXPECT_NE(*start, kFull);
    EXPECT_NE(*start, kCentred);
    Run(kAnimationsOver);
    EXPECT_FALSE(m_manager->IsTransitionRunning());
    EXPECT_EQ(LastCrop(), kFull);
    EXPECT_FALSE(m_log.Contains("Invalid start rect"));

    SettleFocus(true);
    m_manager->SetCursorFocusActive(false);
    Run(kJustPastDebounce);
    ASSERT_TRUE(m_manager->IsTransitionRunning()) << "the zoom-out takes 250 ms";
    const auto zoomOut = m_scene->Crops();
    SettleFocus(true);
    const auto all = m_scene->Crops();
    const auto widest =
        std::max_element(all.begin() + zoomOut.size(), all.end(),
                         [](auto& a, auto& b) { return a.rect.width < b.rect.width; });
    ASSERT_NE(widest, all.end());
    EXPECT_GT(widest->rect.width, zoomOut.back().rect.width);
    EXPECT_EQ(all.back().rect, kCentred);
}

TEST_F(FocusZoomManagerTest, AZoomOutFromARectOutsideTheLimitsStartsCentred) {
    // On a display narrower than the minimum window every rectangle is out of bounds.
    StartManager(10, 10, {.width = 320, .height = 240, .outputWidth = 320, .outputHeight = 240});
    SettleFocus(true);
    SettleFocus(false);
    EXPECT_TRUE(
        m_log.Contains("[FocusZoomManager] Invalid start rect (0,0,400x300), using default"));
    EXPECT_EQ(LoggedStartRect(m_log, "Cursor focus OFF (crop mode) - "),
              (FocusRect{0, 0, 400, 300}));
    EXPECT_EQ(LastCrop(), (FocusRect{0, 0, 320, 240}));
}

TEST_F(FocusZoomManagerTest, PulseZoomsToThePeakAndBack) {
    StartManager();
    ASSERT_TRUE(m_manager->RequestPulse());
    EXPECT_TRUE(m_manager->IsPulseRunning());
    EXPECT_FALSE(m_manager->RequestPulse()) << "one pulse at a time";
    Run(kAnimationsOver + 100 * kMs);
    EXPECT_FALSE(m_manager->IsPulseRunning());
    EXPECT_FALSE(m_manager->IsFocusActive());

    const auto crops = m_scene->Crops();
    ASSERT_GE(crops.size(), 3u);
    EXPECT_TRUE(std::any_of(crops.begin(), crops.end(), [](auto& c) {
        return c.rect == FocusRect{696, 392, 528, 300};
    }));
    EXPECT_EQ(crops.back().rect, kFull) << "focus is off, so the pulse ends on the display";
    EXPECT_GE(crops.back().atNs - crops.front().atNs, 300 * kMs);

    {
        std::lock_guard lock(m_scene->mutex);
        m_scene->cursor.reset();
    }
    EXPECT_FALSE(m_manager->RequestPulse()) << "no cursor";
}

TEST_F(FocusZoomManagerTest, CallbackFailuresAreContained) {
    StartManager();
    auto calls = std::make_shared<std::atomic<int>>(0);
    m_manager->SetCropCallback([calls](const FocusRect&) {
        ++*calls;
        throw std::runtime_error("crop refused");
    });
    SettleFocus(true);
    EXPECT_GE(calls->load(), 5) << "the animation goes on";
    EXPECT_TRUE(m_log.Contains("[FocusZoomManager] Callback SEH EXCEPTION! rect=("));
    EXPECT_TRUE(
        m_log.Contains("[FocusZoomManager] WARNING: Transition callback FAILED (SEH exception)"));
}

TEST_F(FocusZoomManagerTest, StopGivesUpOnACallbackThatNeverReturns) {
    StartManager();
    std::promise<void> release;
    auto token = std::make_shared<std::atomic<bool>>(false);  // set once the callback is entered
    const std::weak_ptr<std::atomic<bool>> tokenAlive = token;
    m_manager->SetCropCallback([released = release.get_future().share(), token](const FocusRect&) {
        *token = true;
        released.wait();
    });
    m_manager->SetCursorFocusActive(true);
    m_clock->JumpTo(m_clock->NowNs() + 40 * kMs);  // to the next pass, which will not return
    ASSERT_TRUE(WaitUntil([&] { return token->load(); }));
    token.reset();

    const auto begin = std::chrono::steady_clock::now();
    m_manager->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s) << "gives up after 500 ms";
    EXPECT_TRUE(m_log.Contains("[FocusZoomManager] WARNING: Thread join timed out after 500ms"));
    EXPECT_FALSE(m_manager->IsTransitionRunning());
    m_manager.reset();  // with the tracking thread still inside the callback

    release.set_value();
    EXPECT_TRUE(WaitUntil([&] { return tokenAlive.expired(); }))
        << "the abandoned thread ends and lets go of the callback";
}

TEST_F(FocusZoomManagerTest, AnEnabledMagnifierIsDrivenInsteadOfTheCrop) {
    RecordingMagnifier& magnifier = m_magnifier;
    StartManager(2880, 540, {.displayX = 1920});
    m_manager->SetMagnifier(&magnifier);
    m_manager->SetCursorFocusActive(true);
    EXPECT_FALSE(m_manager->IsTransitionRunning());
    ASSERT_EQ(magnifier.zooms.size(), 1u);
    const auto& in = magnifier.zooms[0];
    EXPECT_NEAR(in.zoom, 2.0 / 0.55, 1e-9);
    EXPECT_EQ(std::tuple(in.centerX, in.centerY, in.width, in.durationMs),
              std::tuple(960.0, 540.0, 1920, 200.0));

    // Left alone while it animates, then moved only when the offset changes.
    magnifier.animating = true;
    magnifier.zoom = 2.0;
    const auto moveAndWait = [&](int32_t x) {
        m_scene->MoveTo(x, 540);
        Run(100 * kMs);
    };
    moveAndWait(2980);
    EXPECT_TRUE(magnifier.Applied().empty());
    magnifier.animating = false;
    moveAndWait(3080);
    moveAndWait(3180);
    EXPECT_EQ(magnifier.Applied(), std::vector<int32_t>{100});
    magnifier.offsetX = 200;
    moveAndWait(3280);
    EXPECT_EQ(magnifier.Applied(), (std::vector<int32_t>{100, 200}));

    m_manager->SetCursorFocusActive(false);
    ASSERT_EQ(magnifier.zooms.size(), 2u);
    EXPECT_EQ(magnifier.zooms[1].zoom, 1.0);
    EXPECT_GT(magnifier.zooms[1].centerX, 960) << "around the smoothed cursor";
    EXPECT_EQ(magnifier.zooms[1].durationMs, 250);
    EXPECT_TRUE(m_scene->Crops().empty());

    m_manager->Stop();
    EXPECT_EQ(magnifier.stops, 1);
}

TEST(FocusGeometryTest, FocusWindowKeepsTheOutputShapeInsideTheDisplay) {
    const FocusGeometry geometry;
    EXPECT_EQ(geometry.FocusAt(0.55, 100, 100), (FocusRect{0, 0, 1056, 594}));
    // Top 243 rounds up to the even 244.
    EXPECT_EQ(geometry.FocusAt(0.55, 960, 540), kCentred);
    EXPECT_EQ(geometry.FocusAt(0.55, 1919, 1079), (FocusRect{864, 486, 1056, 594}));
    EXPECT_EQ(geometry.FocusAt(0.1, 960, 540), (FocusRect{760, 390, 400, 300}));
    EXPECT_EQ(geometry.FocusAt(1.2, 300, 300), kFull);

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
    const FocusGeometry geometry;
    EXPECT_EQ(geometry.PulsePeak(kCentred, 2, 960, 540), (FocusRect{696, 392, 528, 300}));
    // Outside the rectangle the rectangle's own centre is used.
    EXPECT_EQ(geometry.PulsePeak({0, 0, 1056, 594}, 2, 1500, 900), (FocusRect{264, 148, 528, 300}));
    // Pushed back inside at the right and top edges.
    EXPECT_EQ(geometry.PulsePeak(geometry.Full(), 2, 1900, 10), (FocusRect{960, 0, 960, 540}));
    const FocusGeometry right({.displayX = 1920});
    EXPECT_EQ(right.PulsePeak(right.Full(), 2, 1900, 10), (FocusRect{2880, 0, 960, 540}));
    // Never below the minimum window, and a factor that cannot divide leaves the window as is.
    EXPECT_EQ(geometry.PulsePeak({760, 390, 400, 300}, 2, 960, 540),
              (FocusRect{860, 466, 400, 300}));
    EXPECT_EQ(geometry.PulsePeak(kCentred, 0, 960, 540), kCentred);
}

TEST(FocusGeometryTest, InterpolationRoundsEveryFieldToEven) {
    EXPECT_EQ(InterpolateRect(kFull, kCentred, 0), kFull);
    EXPECT_EQ(InterpolateRect(kFull, kCentred, 1), kCentred);
    EXPECT_EQ(InterpolateRect(kFull, kCentred, 0.5), (FocusRect{216, 122, 1488, 838}));
    EXPECT_EQ(InterpolateRect({-3, 3, 0, 0}, {-3, 3, 0, 0}, 0.5), (FocusRect{-4, 4, 2, 2}));
    for (double e = 0; e <= 1; e += 0.05) {
        const FocusRect r = InterpolateRect(kFull, {431, 243, 1057, 595}, e);
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
