#include "capture/FocusZoomManager.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <utility>

#include "capture/FocusGeometry.h"
#include "capture/IMagnifierManager.h"
#include "diag/Log.h"
#include "diag/RateLimit.h"
#include "platform/system/BackgroundTask.h"

namespace tamro {

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kToggleDebounceNs = 100 * kNsPerMs;
// A held toggle is applied as if the last one were older than the debounce.
constexpr int64_t kToggleBackdateNs = 110 * kNsPerMs;
// 30 a second, less a millisecond: the idle pass takes 33 ms, and a limit of 33.3 ms would skip
// every other pass.
constexpr int64_t kCallbackIntervalNs = kNsPerSecond / 30 - kNsPerMs;
// Closer than this the eased view is put on its target.
constexpr double kArrivedPixels = 0.5;
constexpr double kZoomInSeconds = 0.2;
constexpr double kZoomOutSeconds = 0.25;
constexpr double kMagnifierZoomInMs = 200;
constexpr double kMagnifierZoomOutMs = 250;
constexpr double kPulseInSeconds = 0.2;
constexpr double kPulseHoldEnd = 0.3;
constexpr double kPulseOutSeconds = 0.15;
constexpr double kPulseEnd = kPulseHoldEnd + kPulseOutSeconds;
constexpr int64_t kAnimatingPeriodMs = 16;
constexpr int64_t kIdlePeriodMs = 33;
constexpr auto kJoinWait = std::chrono::milliseconds(500);

// Process-wide counters that throttle the animation log lines.
std::atomic<uint64_t> g_transitionProgressCount{0};
std::atomic<uint64_t> g_transitionCallbackCount{0};
std::atomic<uint64_t> g_trackingCallbackCount{0};

struct CursorPoint {
    double x = 0;
    double y = 0;
};

// A callback to make once the mutex is released.
struct Delivery {
    CropCallback callback;
    FocusRect rect;
};

const char* OnOff(bool on) {
    return on ? "true" : "false";
}

bool SafeInvokeCallback(const CropCallback& callback, const FocusRect& rect) {
    if (!callback) {
        LogLine("[FocusZoomManager] SafeInvokeCallback: callback is NULL!\n");
        return false;
    }
    try {
        callback(rect);
        return true;
    } catch (...) {
        LogLine("[FocusZoomManager] Callback SEH EXCEPTION! rect=(%d,%d,%dx%d)\n", rect.x, rect.y,
                rect.width, rect.height);
        return false;
    }
}

void Deliver(const std::optional<Delivery>& delivery, const char* failureLine) {
    if (delivery && !SafeInvokeCallback(delivery->callback, delivery->rect))
        LogLine("%s", failureLine);
}

}  // namespace

// Everything the tracking thread touches; it holds a reference of its own.
class FocusZoomManager::Core {
  public:
    Core(CursorReader readCursor, std::shared_ptr<platform::Clock> clock)
        : m_readCursor(std::move(readCursor)), m_clock(std::move(clock)) {}

    void Initialize(const FocusSurface& surface, const FocusZoomSettings& settings);
    void SetMagnifier(IMagnifierManager* magnifier);
    void SetCropCallback(CropCallback callback);
    void UpdateSettings(const FocusZoomSettings& settings);
    void SetCursorFocusActive(bool on);
    bool RequestPulse();
    void TrackingThread();
    // Stop, before and after the join of the tracking thread.
    void BeginStop();
    void FinishStop();

    std::atomic<bool> m_isRunning{false};
    std::atomic<bool> m_isFocusActive{false};
    std::atomic<bool> m_pulseActive{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_transitioning{false};
    std::atomic<bool> m_pendingToggle{false};

  private:
    // The cursor in surface coordinates.
    std::optional<CursorPoint> ReadCursor() const;
    bool MagnifierEnabled() const { return m_magnifier && m_magnifier->IsEnabled(); }
    FocusRect FocusAtSmoothed() const {
        return m_geometry.FocusAt(m_params.cropFraction, m_smoothed.x, m_smoothed.y);
    }
    void BeginTransition(const FocusRect& from, const FocusRect& to, bool zoomIn);
    void FocusOn(const CursorPoint& cursor);
    void FocusOff();
    void ApplyPendingToggle();
    void TrackingPass();
    std::optional<Delivery> TransitionStep();
    std::optional<Delivery> TrackingStep(const std::optional<CursorPoint>& cursor);
    void FollowWithMagnifier();
    std::optional<Delivery> PulseStep();

    const CursorReader m_readCursor;
    const std::shared_ptr<platform::Clock> m_clock;

    // Read by the control side outside the mutex.
    std::atomic<bool> m_transitionZoomIn{false};
    std::atomic<bool> m_pendingToggleValue{false};
    std::atomic<int64_t> m_lastToggleNs{0};

    mutable std::mutex m_mutex;          // guards the rest, and the tracking thread's sleep
    std::condition_variable_any m_wake;  // ends the sleep at Stop
    FocusGeometry m_geometry;
    FocusZoomSettings m_params;
    CursorPoint m_smoothed;
    CursorPoint m_lastCursor;
    bool m_cursorValid = false;
    int64_t m_pulseStartNs = 0;
    CursorPoint m_pulseCursor;
    FocusRect m_pulseFromRect;
    FocusRect m_pulsePeakRect;
    FocusRect m_currentRect = m_geometry.Full();
    int64_t m_transitionStartNs = 0;
    double m_transitionDuration = kZoomInSeconds;
    FocusRect m_transitionFrom;
    FocusRect m_transitionTo;
    int64_t m_lastCallbackNs = 0;
    MagnifierOffset m_magnifierOffset;
    CropCallback m_callback;
    IMagnifierManager* m_magnifier = nullptr;
};

void FocusZoomManager::Core::Initialize(const FocusSurface& surface,
                                        const FocusZoomSettings& settings) {
    std::lock_guard lock(m_mutex);
    m_geometry = FocusGeometry(surface);
    m_params = settings;
    m_currentRect = m_geometry.Full();
    m_cursorValid = false;
    m_smoothed = {};
}

void FocusZoomManager::Core::SetMagnifier(IMagnifierManager* magnifier) {
    std::lock_guard lock(m_mutex);
    m_magnifier = magnifier;
}

void FocusZoomManager::Core::SetCropCallback(CropCallback callback) {
    std::lock_guard lock(m_mutex);
    m_callback = std::move(callback);
}

void FocusZoomManager::Core::UpdateSettings(const FocusZoomSettings& settings) {
    std::lock_guard lock(m_mutex);
    m_params = settings;
}

// The display is asked outside the mutex, so a display call that hangs cannot hold up Stop.
std::optional<CursorPoint> FocusZoomManager::Core::ReadCursor() const {
    const std::optional<platform::CursorPosition> position = m_readCursor();
    if (!position)
        return std::nullopt;
    std::lock_guard lock(m_mutex);
    const FocusSurface& surface = m_geometry.Surface();
    return CursorPoint{static_cast<double>(position->x - surface.displayX),
                       static_cast<double>(position->y - surface.displayY)};
}

void FocusZoomManager::Core::SetCursorFocusActive(bool on) {
    const int64_t nowNs = m_clock->NowNs();
    if (nowNs - m_lastToggleNs < kToggleDebounceNs) {
        m_pendingToggleValue = on;
        m_pendingToggle = true;
        return;
    }
    m_lastToggleNs = nowNs;
    m_pendingToggle = false;
    bool hasCallback;
    {
        std::lock_guard lock(m_mutex);
        hasCallback = static_cast<bool>(m_callback);
    }
    LogLine(
        "[FocusZoomManager] SetCursorFocusActive(%s) ENTRY - isRunning=%d, callback=%s, "
        "m_isFocusActive=%d, m_isFocusTransitioning=%d\n",
        OnOff(on), m_isRunning.load(), hasCallback ? "set" : "NULL", m_isFocusActive.load(),
        m_transitioning.load());
    if (m_isFocusActive == on && !m_transitioning)
        return;
    const std::optional<CursorPoint> cursor = on ? ReadCursor() : std::nullopt;
    std::lock_guard lock(m_mutex);
    if (m_stopping)
        return;
    LogLine("[FocusZoomManager] SetCursorFocusActive(%s) - magnifier=%p\n", OnOff(on),
            static_cast<void*>(m_magnifier));
    if (!on) {
        FocusOff();
    } else if (cursor) {
        FocusOn(*cursor);
    }
}

void FocusZoomManager::Core::BeginTransition(const FocusRect& from, const FocusRect& to,
                                             bool zoomIn) {
    m_transitionFrom = from;
    m_transitionTo = to;
    m_transitionDuration = zoomIn ? kZoomInSeconds : kZoomOutSeconds;
    m_transitionStartNs = m_clock->NowNs();
    m_transitionZoomIn = zoomIn;
    m_transitioning = true;
    LogLine(
        "[FocusZoomManager] Cursor focus %s (crop mode) - startRect=(%d,%d,%dx%d), "
        "endRect=(%d,%d,%dx%d)\n",
        zoomIn ? "ON" : "OFF", from.x, from.y, from.width, from.height, to.x, to.y, to.width,
        to.height);
}

void FocusZoomManager::Core::FocusOn(const CursorPoint& cursor) {
    // An interrupted zoom-out restarts the zoom-in from the whole display.
    if (m_transitioning && !m_transitionZoomIn) {
        m_transitioning = false;
        m_currentRect = m_geometry.Full();
    }
    m_smoothed = cursor;
    m_lastCursor = cursor;
    m_cursorValid = true;
    m_isFocusActive = true;
    const FocusSurface& surface = m_geometry.Surface();
    LogLine("[FocusZoomManager] Cursor at (%.0f, %.0f), display offset (%d, %d)\n", cursor.x,
            cursor.y, surface.displayX, surface.displayY);
    if (MagnifierEnabled()) {
        const double zoom = m_params.pulseFactor / m_params.cropFraction;
        LogLine("[FocusZoomManager] Using magnifier: zoom=%.2f, center=(%.0f,%.0f)\n", zoom,
                cursor.x, cursor.y);
        m_magnifier->ZoomTo(zoom, cursor.x, cursor.y, surface.width, surface.height,
                            kMagnifierZoomInMs);
        return;
    }
    BeginTransition(m_geometry.Full(),
                    m_geometry.FocusAt(m_params.cropFraction, cursor.x, cursor.y), true);
}

void FocusZoomManager::Core::FocusOff() {
    m_isFocusActive = false;
    const FocusSurface& surface = m_geometry.Surface();
    if (MagnifierEnabled()) {
        m_magnifier->ZoomTo(1.0, m_smoothed.x, m_smoothed.y, surface.width, surface.height,
                            kMagnifierZoomOutMs);
        return;
    }
    if (m_transitioning && m_transitionZoomIn)
        m_transitioning = false;
    FocusRect from = m_currentRect;
    if (!m_geometry.IsPlausibleFocus(from)) {
        LogLine("[FocusZoomManager] Invalid start rect (%d,%d,%dx%d), using default\n", from.x,
                from.y, from.width, from.height);
        from = m_geometry.FocusAt(m_params.cropFraction, surface.width / 2.0, surface.height / 2.0);
    }
    BeginTransition(from, m_geometry.Full(), false);
}

bool FocusZoomManager::Core::RequestPulse() {
    if (m_pulseActive || m_stopping)
        return false;
    const std::optional<CursorPoint> cursor = ReadCursor();
    if (!cursor)
        return false;
    std::lock_guard lock(m_mutex);
    m_pulseCursor = *cursor;
    if (!m_isFocusActive)
        m_smoothed = m_pulseCursor;
    m_pulseFromRect = FocusAtSmoothed();
    m_pulsePeakRect = m_geometry.PulsePeak(m_pulseFromRect, m_params.pulseFactor, m_pulseCursor.x,
                                           m_pulseCursor.y);
    m_pulseStartNs = m_clock->NowNs();
    m_pulseActive = true;
    return true;
}

void FocusZoomManager::Core::TrackingThread() {
    while (m_isRunning) {
        const bool wasTransitioning = m_transitioning;
        const int64_t passStartNs = m_clock->NowNs();
        try {
            TrackingPass();
        } catch (const std::exception& error) {
            LogLine("[FocusZoomManager] TrackingThread exception: %s\n", error.what());
        } catch (...) {
            LogLine("[FocusZoomManager] TrackingThread unknown exception\n");
        }
        const int64_t spentMs = (m_clock->NowNs() - passStartNs) / kNsPerMs;
        const int64_t sleepMs = (wasTransitioning ? kAnimatingPeriodMs : kIdlePeriodMs) - spentMs;
        if (sleepMs > 0) {
            std::unique_lock lock(m_mutex);
            m_clock->WaitUntil(lock, m_wake, m_clock->NowNs() + sleepMs * kNsPerMs,
                               [&] { return !m_isRunning; });
        }
    }
}

void FocusZoomManager::Core::ApplyPendingToggle() {
    if (!m_pendingToggle || m_clock->NowNs() - m_lastToggleNs < kToggleDebounceNs)
        return;
    const bool value = m_pendingToggleValue;
    m_pendingToggle = false;
    if (value == m_isFocusActive)
        return;
    m_lastToggleNs = m_clock->NowNs() - kToggleBackdateNs;
    SetCursorFocusActive(value);
}

void FocusZoomManager::Core::TrackingPass() {
    ApplyPendingToggle();
    if (m_transitioning) {
        Deliver(TransitionStep(),
                "[FocusZoomManager] WARNING: Transition callback FAILED (SEH exception)\n");
    } else if (m_isFocusActive && !m_pulseActive) {
        Deliver(TrackingStep(ReadCursor()),
                "[FocusZoomManager] WARNING: Crop tracking callback FAILED (SEH exception)\n");
    }
    if (m_pulseActive) {
        Deliver(PulseStep(),
                "[FocusZoomManager] WARNING: Zoom animation callback FAILED (SEH exception)\n");
    }
}

std::optional<Delivery> FocusZoomManager::Core::TransitionStep() {
    std::lock_guard lock(m_mutex);
    if (m_stopping)
        return std::nullopt;
    const int64_t nowNs = m_clock->NowNs();
    const double progress =
        static_cast<double>(nowNs - m_transitionStartNs) / kNsPerSecond / m_transitionDuration;
    if (IsEveryNth(++g_transitionProgressCount, 6)) {
        LogLine("[FocusZoomManager] Transition progress: %.1f%%, zooming %s\n", progress * 100,
                m_transitionZoomIn ? "IN" : "OUT");
    }
    if (progress >= 1) {
        m_transitioning = false;
        g_transitionProgressCount = 0;
        if (!m_callback)
            return std::nullopt;
        const FocusRect& rect = m_transitionTo;
        if (rect == m_currentRect) {
            LogLine("[FocusZoomManager] Transition complete - rect unchanged: (%d,%d,%dx%d)\n",
                    rect.x, rect.y, rect.width, rect.height);
            return std::nullopt;
        }
        m_currentRect = rect;
        m_lastCallbackNs = nowNs;
        LogLine(
            "[FocusZoomManager] Transition COMPLETE - will call callback: rect=(%d,%d,%dx%d), "
            "wasZoomIn=%s\n",
            rect.x, rect.y, rect.width, rect.height, OnOff(m_transitionZoomIn));
        return Delivery{m_callback, rect};
    }
    const double eased = m_transitionZoomIn ? EaseZoomIn(progress) : EaseZoomOut(progress);
    const FocusRect rect = InterpolateRect(m_transitionFrom, m_transitionTo, eased);
    if (!m_callback || rect == m_currentRect)
        return std::nullopt;
    m_currentRect = rect;
    m_lastCallbackNs = nowNs;
    const uint64_t count = ++g_transitionCallbackCount;
    if (count <= 3 || count % 10 == 0) {
        LogLine("[FocusZoomManager] Transition callback #%d: rect=(%d,%d,%dx%d), progress=%.0f%%\n",
                static_cast<int>(count), rect.x, rect.y, rect.width, rect.height, progress * 100);
    }
    return Delivery{m_callback, rect};
}

std::optional<Delivery> FocusZoomManager::Core::TrackingStep(
    const std::optional<CursorPoint>& cursor) {
    std::lock_guard lock(m_mutex);
    if (m_stopping || !cursor)
        return std::nullopt;
    if (!m_cursorValid) {
        m_smoothed = *cursor;
        m_lastCursor = *cursor;
        m_cursorValid = true;
    }
    // A move past the dead zone sets a new target; the view then eases towards it on every pass
    // until it arrives, so it settles where a cursor stopped rather than part of the way there.
    if (std::hypot(cursor->x - m_lastCursor.x, cursor->y - m_lastCursor.y) >= m_params.deadZone)
        m_lastCursor = *cursor;
    const double dx = m_lastCursor.x - m_smoothed.x;
    const double dy = m_lastCursor.y - m_smoothed.y;
    // Arrived, the view is still compared below: a rectangle the rate limit held back goes now.
    if (std::hypot(dx, dy) < kArrivedPixels) {
        m_smoothed = m_lastCursor;
    } else {
        m_smoothed.x += dx * m_params.smoothing;
        m_smoothed.y += dy * m_params.smoothing;
    }
    if (MagnifierEnabled()) {
        FollowWithMagnifier();
        return std::nullopt;
    }
    if (!m_callback)
        return std::nullopt;
    const FocusRect rect = FocusAtSmoothed();
    const int64_t nowNs = m_clock->NowNs();
    // Skipped rather than queued: a later pass delivers it, fresher.
    if (rect == m_currentRect || nowNs - m_lastCallbackNs < kCallbackIntervalNs)
        return std::nullopt;
    m_currentRect = rect;
    m_lastCallbackNs = nowNs;
    const uint64_t count = ++g_trackingCallbackCount;
    if (IsEveryNth(count, 30)) {
        LogLine(
            "[FocusZoomManager] Crop tracking callback #%d: rect=(%d,%d,%dx%d), "
            "cursor=(%.0f,%.0f)\n",
            static_cast<int>(count), rect.x, rect.y, rect.width, rect.height, m_smoothed.x,
            m_smoothed.y);
    }
    return Delivery{m_callback, rect};
}

// The magnifier's own animation owns the transform until it ends.
void FocusZoomManager::Core::FollowWithMagnifier() {
    const double zoom = m_magnifier->CurrentZoom();
    if (m_magnifier->IsAnimating() || zoom == 1.0)
        return;
    const FocusSurface& surface = m_geometry.Surface();
    const MagnifierOffset offset =
        m_magnifier->ComputeOffset(m_smoothed.x, m_smoothed.y, surface.width, surface.height, zoom);
    if (offset == m_magnifierOffset)
        return;
    m_magnifier->ApplyTransform(zoom, offset.x, offset.y);
    m_magnifierOffset = offset;
}

std::optional<Delivery> FocusZoomManager::Core::PulseStep() {
    std::lock_guard lock(m_mutex);
    if (m_stopping)
        return std::nullopt;
    const int64_t nowNs = m_clock->NowNs();
    const double t = static_cast<double>(nowNs - m_pulseStartNs) / kNsPerSecond;
    const bool finished = t >= kPulseEnd;
    FocusRect rect;
    if (t < kPulseInSeconds) {
        rect = InterpolateRect(m_pulseFromRect, m_pulsePeakRect, EaseZoomIn(t / kPulseInSeconds));
    } else if (t < kPulseHoldEnd) {
        rect = m_pulsePeakRect;
    } else if (!finished) {
        rect = InterpolateRect(m_pulsePeakRect, m_pulseFromRect,
                               EaseZoomIn((t - kPulseHoldEnd) / kPulseOutSeconds));
    } else {
        rect = m_isFocusActive ? FocusAtSmoothed() : m_geometry.Full();
    }
    const bool changed = m_callback && rect != m_currentRect;
    const bool due = nowNs - m_lastCallbackNs >= kCallbackIntervalNs;
    // The closing rectangle waits for its turn instead of being skipped, so that the view never
    // stays zoomed after the pulse.
    if (finished && (!changed || due))
        m_pulseActive = false;
    if (!changed || !due)
        return std::nullopt;
    m_currentRect = rect;
    m_lastCallbackNs = nowNs;
    return Delivery{m_callback, rect};
}

void FocusZoomManager::Core::BeginStop() {
    {
        // The tracking thread tests m_isRunning under this lock before it sleeps, so the wake
        // cannot fall between the two.
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_isRunning = false;
        m_isFocusActive = false;
        m_pulseActive = false;
        m_transitioning = false;
        m_pendingToggle = false;
    }
    m_wake.notify_all();
}

void FocusZoomManager::Core::FinishStop() {
    IMagnifierManager* magnifier;
    {
        std::lock_guard lock(m_mutex);
        magnifier = m_magnifier;
    }
    if (magnifier && magnifier->IsEnabled())
        magnifier->Stop();
    std::lock_guard lock(m_mutex);
    m_callback = {};
    m_magnifier = nullptr;
}

FocusZoomManager::FocusZoomManager(CursorReader readCursor, std::shared_ptr<platform::Clock> clock)
    : m_core(std::make_shared<Core>(std::move(readCursor), std::move(clock))) {}

FocusZoomManager::~FocusZoomManager() {
    Stop();
}

void FocusZoomManager::Initialize(int32_t displayX, int32_t displayY, int32_t surfaceWidth,
                                  int32_t surfaceHeight, int32_t outputWidth, int32_t outputHeight,
                                  const FocusZoomSettings& settings) {
    m_core->Initialize({.displayX = displayX,
                        .displayY = displayY,
                        .width = surfaceWidth,
                        .height = surfaceHeight,
                        .outputWidth = outputWidth,
                        .outputHeight = outputHeight},
                       settings);
}

void FocusZoomManager::SetMagnifier(IMagnifierManager* magnifier) {
    m_core->SetMagnifier(magnifier);
}

void FocusZoomManager::SetCropCallback(CropCallback callback) {
    m_core->SetCropCallback(std::move(callback));
}

void FocusZoomManager::Start() {
    std::lock_guard lock(m_threadMutex);
    if (m_core->m_isRunning || m_core->m_stopping)
        return;
    m_core->m_isRunning = true;
    m_trackingThread = std::thread([core = m_core] { core->TrackingThread(); });
}

void FocusZoomManager::Stop() {
    std::lock_guard lock(m_threadMutex);
    if (!m_core->m_isRunning)
        return;
    m_core->BeginStop();
    platform::JoinOrAbandon(std::move(m_trackingThread), kJoinWait,
                            "[FocusZoomManager] WARNING: Thread join timed out after 500ms "
                            "\xC3\xA2\xE2\x82\xAC\xE2\x80\x9D abandoning waiter");
    m_core->FinishStop();
}

void FocusZoomManager::SetCursorFocusActive(bool active) {
    m_core->SetCursorFocusActive(active);
}

bool FocusZoomManager::IsFocusActive() const {
    return m_core->m_isFocusActive;
}

bool FocusZoomManager::RequestPulse() {
    return m_core->RequestPulse();
}

void FocusZoomManager::UpdateSettings(const FocusZoomSettings& settings) {
    m_core->UpdateSettings(settings);
}

bool FocusZoomManager::IsTransitionRunning() const {
    return m_core->m_transitioning;
}

bool FocusZoomManager::IsTogglePending() const {
    return m_core->m_pendingToggle;
}

bool FocusZoomManager::IsPulseRunning() const {
    return m_core->m_pulseActive;
}

}  // namespace tamro
