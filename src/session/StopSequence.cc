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

// Waited for as long as it writes: rewriting a long recording takes seconds, while a file system
// that stopped taking data would hold the stop for ever. An abandoned finalisation goes on in the
// background, and the encoder's destructor waits for it on the teardown's task; the file keeps
// its fragments, which play.
void StopSequence::FinalizeEncoder(IEncoder& encoder) {
    platform::BackgroundTask finalize([&encoder] { encoder.Finalize(); });
    const auto started = std::chrono::steady_clock::now();
    auto lastMove = started;
    int64_t written = encoder.WriteProgress();
    bool reported = false;
    while (!finalize.WaitFor(kFinalizeCheck)) {
        const auto now = std::chrono::steady_clock::now();
        if (!reported && now - started >= kFinalizeReportAfter) {
            LogLine("[NativeRecorder] STEP 11: Encoder finalize taking longer than expected...\n");
            reported = true;
        }
        if (const int64_t progress = encoder.WriteProgress(); progress != written) {
            written = progress;
            lastMove = now;
        } else if (now - lastMove >= kFinalizeStallLimit) {
            LogLine(
                "[NativeRecorder] STEP 11: WARNING: Encoder finalize wrote nothing for 1000ms "
                "\xE2\x80\x94 abandoning it; the file keeps what was written\n");
            m_finalizeLeftBehind = true;
            return;
        }
    }
}

void StopSequence::Destroy(std::unique_ptr<SessionParts> parts,
                           std::shared_ptr<const void> keepAlive) {
    const bool finalizeLeftBehind = std::exchange(m_finalizeLeftBehind, false);
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
    if (!callbackInside && !finalizeLeftBehind) {
        platform::WaitOrAbandon(teardown, kTeardownLimit,
                                "[NativeRecorder] WARNING: Component teardown timed out after "
                                "500ms: it finishes in the background");
    }
}

}  // namespace tamro
