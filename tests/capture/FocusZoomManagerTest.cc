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
#include "support/LogCapture.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr FocusRect kFull{0, 0, 1920, 1080};
constexpr FocusRect kCentred{432, 244, 1056, 594};
// A second toggle within 100 ms is held back; 104 ms is early enough to catch an animation
// halfway.
constexpr auto kPastDebounce = 120ms;
constexpr auto kJustPastDebounce = 104ms;

struct Crop {
    Clock::time_point at;
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

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = 2s) {
    for (const auto deadline = Clock::now() + limit; !done();) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The flags drop before the step's last callback has returned: give it time to land.
template <typename Predicate>
bool WaitUntilLanded(Predicate done) {
    const bool reached = WaitUntil(done);
    std::this_thread::sleep_for(50ms);
    return reached;
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

class FocusZoomManagerTest : public ::testing::Test {
  protected:
    void StartManager(int32_t cursorX = 960, int32_t cursorY = 540,
                      const FocusSurface& surface = {}) {
        m_scene->MoveTo(cursorX, cursorY);
        m_manager = std::make_unique<FocusZoomManager>(
            [scene = m_scene]() -> std::optional<platform::CursorPosition> {
                std::lock_guard lock(scene->mutex);
                return scene->cursor;
            });
        m_manager->Initialize(surface.displayX, surface.displayY, surface.width, surface.height,
                              surface.outputWidth, surface.outputHeight,
                              {.Flag1 = false,
                               .Flag2 = true,
                               .cropFraction = 0.55,
                               .smoothing = 0.4,
                               .deadZone = 5.0,
                               .pulseFactor = 2.0});
        m_manager->SetCropCallback([scene = m_scene](const FocusRect& rect) {
            std::lock_guard lock(scene->mutex);
            scene->crops.push_back({Clock::now(), rect});
        });
        m_manager->Start();
    }
    std::optional<FocusRect> LastCrop() {
        const auto crops = m_scene->Crops();
        return crops.empty() ? std::nullopt : std::optional(crops.back().rect);
    }
    bool TransitionLanded() {
        return WaitUntilLanded([&] { return !m_manager->IsTransitionRunning(); });
    }
    bool SettleFocus(bool on) {
        m_manager->SetCursorFocusActive(on);
        return TransitionLanded();
    }

    test::LogCapture m_log;
    std::shared_ptr<Scene> m_scene = std::make_shared<Scene>();
    RecordingMagnifier m_magnifier;  // outlives the manager that points at it
    std::unique_ptr<FocusZoomManager> m_manager;
};

TEST_F(FocusZoomManagerTest, ZoomsInOnTheCursorAndOutToTheWholeDisplay) {
    StartManager(2880, 540, {.displayX = 1920});
    ASSERT_TRUE(SettleFocus(true));
    EXPECT_TRUE(m_manager->IsFocusActive());
    const auto zoomIn = m_scene->Crops();
    ASSERT_GE(zoomIn.size(), 2u) << "an animation, not a jump";
    EXPECT_EQ(zoomIn.back().rect, (FocusRect{2352, 244, 1056, 594}));
    EXPECT_LT(zoomIn.front().rect.width, 1920);
    for (size_t i = 1; i < zoomIn.size(); ++i)
        EXPECT_LE(zoomIn[i].rect.width, zoomIn[i - 1].rect.width);

    std::this_thread::sleep_for(kPastDebounce);
    ASSERT_TRUE(SettleFocus(false));
    EXPECT_FALSE(m_manager->IsFocusActive());
    const auto all = m_scene->Crops();
    ASSERT_GE(all.size(), zoomIn.size() + 2);
    EXPECT_EQ(all.back().rect, (FocusRect{1920, 0, 1920, 1080}));
    for (size_t i = zoomIn.size() + 1; i < all.size(); ++i)
        EXPECT_GE(all[i].rect.width, all[i - 1].rect.width);
    EXPECT_FALSE(m_manager->IsTransitionRunning() || m_manager->IsPulseRunning());
}

TEST_F(FocusZoomManagerTest, TogglesCloserThanTheDebounceAreAppliedByTheTrackingThread) {
    StartManager();
    const auto first = Clock::now();
    m_manager->SetCursorFocusActive(true);
    std::this_thread::sleep_for(50ms);
    if (Clock::now() - first > 90ms)
        GTEST_SKIP() << "too loaded to toggle twice within the debounce";
    m_manager->SetCursorFocusActive(false);
    EXPECT_TRUE(m_manager->IsTogglePending());
    EXPECT_TRUE(m_manager->IsFocusActive());
    ASSERT_TRUE(WaitUntil([&] { return !m_manager->IsFocusActive(); }));
    const auto appliedAfter = Clock::now() - first;
    EXPECT_GE(appliedAfter, 95ms);
    EXPECT_LT(appliedAfter, 350ms);
    ASSERT_TRUE(TransitionLanded());
    EXPECT_FALSE(m_manager->IsTogglePending());

    // Held requests that come back to the current state change nothing.
    std::this_thread::sleep_for(kPastDebounce);
    m_manager->SetCursorFocusActive(true);
    m_manager->SetCursorFocusActive(false);
    m_manager->SetCursorFocusActive(true);
    ASSERT_TRUE(WaitUntil([&] { return !m_manager->IsTogglePending(); }));
    EXPECT_TRUE(m_manager->IsFocusActive());
    EXPECT_EQ(m_log.Count("Cursor focus OFF (crop mode)"), 1);
}

TEST_F(FocusZoomManagerTest, CursorMovesInsideTheDeadZoneMoveNothing) {
    StartManager();
    ASSERT_TRUE(SettleFocus(true));
    const size_t settled = m_scene->Crops().size();
    for (int i = 0; i < 40; ++i) {
        m_scene->MoveTo(960 + (i % 2) * 3, 540 + (i % 3 == 0) * 3);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(m_scene->Crops().size(), settled);

    m_scene->MoveTo(1400, 700);
    ASSERT_TRUE(WaitUntil([&] { return m_scene->Crops().size() > settled; }));
    EXPECT_GT(LastCrop()->x, kCentred.x) << "follows the cursor, smoothed";
    // And settles on it once it stops, rather than part of the way there.
    const FocusRect atCursor = FocusGeometry().FocusAt(0.55, 1400, 700);
    EXPECT_TRUE(WaitUntil([&] { return LastCrop() == atCursor; }, 1s))
        << LastCrop()->x << "," << LastCrop()->y;
}

TEST_F(FocusZoomManagerTest, FocusOnDuringAZoomOutRestartsFromTheWholeDisplay) {
    StartManager();
    ASSERT_TRUE(SettleFocus(true));
    std::this_thread::sleep_for(kPastDebounce);
    m_manager->SetCursorFocusActive(false);
    std::this_thread::sleep_for(kJustPastDebounce);
    ASSERT_TRUE(m_manager->IsTransitionRunning()) << "the zoom-out takes 250 ms";
    const auto zoomOut = m_scene->Crops();
    ASSERT_TRUE(SettleFocus(true));

    const auto all = m_scene->Crops();
    const auto widest =
        std::max_element(all.begin() + zoomOut.size(), all.end(),
                         [](auto& a, auto& b) { return a.rect.width < b.rect.width; });
    ASSERT_NE(widest, all.end());
    EXPECT_GT(widest->rect.width, zoomOut.back().rect.width);
    EXPECT_EQ(all.back().rect, kCentred);
}

TEST_F(FocusZoomManagerTest, FocusOffDuringAZoomInStartsFromTheLastDeliveredRect) {
    StartManager();
    m_manager->SetCursorFocusActive(true);
    std::this_thread::sleep_for(kJustPastDebounce);
    m_manager->SetCursorFocusActive(false);
    ASSERT_TRUE(WaitUntilLanded([&] { return !m_manager->IsTogglePending(); }));
    const auto start = LoggedStartRect(m_log, "Cursor focus OFF (crop mode) - ");
    ASSERT_TRUE(start);
    EXPECT_NE(*start, kFull);
    EXPECT_NE(*start, kCentred);
    ASSERT_TRUE(TransitionLanded());
    const auto crops = m_scene->Crops();
    EXPECT_TRUE(std::any_of(crops.begin(), crops.end(), [&](auto& c) { return c.rect == *start; }));
    EXPECT_EQ(LastCrop(), kFull);
    EXPECT_FALSE(m_log.Contains("Invalid start rect"));
}

TEST_F(FocusZoomManagerTest, AZoomOutFromARectOutsideTheLimitsStartsCentred) {
    // On a display narrower than the minimum window every rectangle is out of bounds.
    StartManager(10, 10, {.width = 320, .height = 240, .outputWidth = 320, .outputHeight = 240});
    ASSERT_TRUE(SettleFocus(true));
    std::this_thread::sleep_for(kPastDebounce);
    ASSERT_TRUE(SettleFocus(false));
    EXPECT_TRUE(
        m_log.Contains("[FocusZoomManager] Invalid start rect (0,0,400x300), using default"));
    EXPECT_EQ(LoggedStartRect(m_log, "Cursor focus OFF (crop mode) - "),
              (FocusRect{0, 0, 400, 300}));
    EXPECT_EQ(LastCrop(), (FocusRect{0, 0, 320, 240}));
}

TEST_F(FocusZoomManagerTest, TrackingCallsBackAtMostThirtyTimesASecond) {
    StartManager(200, 200);
    ASSERT_TRUE(SettleFocus(true));
    const size_t settled = m_scene->Crops().size();
    const auto begin = Clock::now();
    for (int i = 0; Clock::now() - begin < 1s; ++i) {
        m_scene->MoveTo(200 + (i * 7) % 1500, 200 + (i * 3) % 700);
        std::this_thread::sleep_for(4ms);
    }
    const size_t tracked = m_scene->Crops().size() - settled;
    EXPECT_LE(tracked, 31u);
    EXPECT_GE(tracked, 5u);
}

TEST_F(FocusZoomManagerTest, PulseZoomsToThePeakAndBack) {
    StartManager();
    ASSERT_TRUE(m_manager->RequestPulse());
    EXPECT_TRUE(m_manager->IsPulseRunning());
    EXPECT_FALSE(m_manager->RequestPulse()) << "one pulse at a time";
    ASSERT_TRUE(WaitUntilLanded([&] { return !m_manager->IsPulseRunning(); }));
    EXPECT_FALSE(m_manager->IsFocusActive());

    const auto crops = m_scene->Crops();
    ASSERT_GE(crops.size(), 3u);
    EXPECT_TRUE(std::any_of(crops.begin(), crops.end(), [](auto& c) {
        return c.rect == FocusRect{696, 392, 528, 300};
    }));
    EXPECT_EQ(crops.back().rect, kFull) << "focus is off, so the pulse ends on the display";
    EXPECT_GE(crops.back().at - crops.front().at, 300ms);

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
    ASSERT_TRUE(SettleFocus(true));
    EXPECT_GE(calls->load(), 2) << "the animation goes on";
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
    ASSERT_TRUE(WaitUntil([&] { return token->load(); }));
    token.reset();

    const auto begin = Clock::now();
    m_manager->Stop();
    EXPECT_LT(Clock::now() - begin, 800ms);
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
        std::this_thread::sleep_for(100ms);
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

    std::this_thread::sleep_for(kPastDebounce);
    m_manager->SetCursorFocusActive(false);
    ASSERT_EQ(magnifier.zooms.size(), 2u);
    EXPECT_EQ(magnifier.zooms[1].zoom, 1.0);
    EXPECT_GT(magnifier.zooms[1].centerX, 960) << "around the smoothed cursor";
    EXPECT_EQ(magnifier.zooms[1].durationMs, 250);
    EXPECT_TRUE(m_scene->Crops().empty());

    m_manager->Stop();
    EXPECT_EQ(magnifier.stops, 1);
}

}  // namespace
}  // namespace tamro
