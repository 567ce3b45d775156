#include "session/StopSequence.h"

#include <thread>
#include <utility>

#include "diag/Log.h"
#include "platform/system/BackgroundTask.h"

namespace tamro {
namespace {

constexpr std::chrono::milliseconds kPoll{5};
constexpr std::chrono::milliseconds kFocusIdlePoll{10};

void DestroyInOrder(SessionParts& parts) {
    parts.magnifier.reset();
    parts.focusZoom.reset();
    parts.screen.reset();
    parts.audio.reset();
    parts.encoder.reset();
}

}  // namespace

void StopSequence::Settle() {
    std::this_thread::sleep_for(kShutdownSettle);
}

void StopSequence::WindDownFocusZoom(IFocusZoomManager& focus, IScreenCapture* screen) {
    focus.SetCropCallback({});
    focus.SetMagnifier(nullptr);
    if (screen) {
        screen->ReleaseCrop();
    }
    WaitForFocusZoomIdle(focus);
    focus.Stop();
    Settle();
}

void StopSequence::WaitForFocusZoomIdle(const IFocusZoomManager& focus) {
    const auto busy = [&focus] {
        return focus.IsTransitionRunning() || focus.IsTogglePending() || focus.IsPulseRunning();
    };
    const auto deadline = std::chrono::steady_clock::now() + kFocusIdleLimit;
    while (busy()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            LogLine(
                "[FocusZoomManager] WaitUntilIdle timed out while transition/pulse still "
                "active\n");
            return;
        }
        std::this_thread::sleep_for(kFocusIdlePoll);
    }
}

void StopSequence::WaitForCallbacks() const {
    const auto deadline = std::chrono::steady_clock::now() + kCallbackDrainLimit;
    while (m_inFlight.load() >= 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPoll);
    }
    const int32_t remaining = m_inFlight.load();
    if (remaining > 0) {
        LogLine(
            "[NativeRecorder] WaitForInFlightCallbacksDrain: timed out with %d still in flight\n",
            remaining);
    }
}

void StopSequence::FinalizeEncoder(IEncoder& encoder) {
    platform::BackgroundTask finalize([&encoder] { encoder.Finalize(); });
    if (!finalize.WaitFor(kFinalizeReportAfter)) {
        LogLine("[NativeRecorder] STEP 11: Encoder finalize taking longer than expected...\n");
    }
    finalize.Wait();
}

void StopSequence::Destroy(std::unique_ptr<SessionParts> parts,
                           std::shared_ptr<const void> keepAlive) const {
    if (!parts) {
        return;
    }
    // While a callback is inside a component, the components go once it has left; the callback
    // holds its recorder, which `keepAlive` keeps for the count to stay readable.
    const bool callbackInside = keepAlive && m_inFlight.load() > 0;
    const std::atomic<int32_t>* inFlight = keepAlive ? &m_inFlight : nullptr;
    // The task owns what it destroys, so a destructor stuck behind a hung platform call finishes
    // on its own without holding up the stop.
    platform::BackgroundTask teardown(
        [inFlight, keepAlive = std::move(keepAlive), parts = std::move(parts)]() mutable {
            while (inFlight != nullptr && inFlight->load() > 0) {
                std::this_thread::sleep_for(kPoll);
            }
            DestroyInOrder(*parts);
        });
    if (!callbackInside) {
        platform::WaitOrAbandon(teardown, kTeardownLimit,
                                "[NativeRecorder] WARNING: Component teardown timed out after "
                                "500ms: it finishes in the background");
    }
}

}  // namespace tamro
