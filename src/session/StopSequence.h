#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "session/SessionBuilder.h"

namespace tamro {

// The steps of stopping a session that wait on other threads, each bounded: a focus transition
// that never ends, a frame or audio callback that never returns and a slow finalisation are
// logged and outlived, never waited for without limit. Finalisation is waited for as long as it
// writes, since the file is whole only afterwards.
// Threading: the recorder's stopping thread; the destruction of the parts runs on a thread of
// its own, which holds the recorder alive while a callback is still inside a component.
class StopSequence {
  public:
    static constexpr std::chrono::milliseconds kShutdownSettle{50};
    static constexpr std::chrono::milliseconds kFocusIdleLimit{300};
    static constexpr std::chrono::milliseconds kCallbackDrainLimit{500};
    static constexpr std::chrono::milliseconds kFinalizeReportAfter{1000};
    static constexpr std::chrono::milliseconds kFinalizeCheck{100};
    static constexpr std::chrono::milliseconds kFinalizeStallLimit{1000};
    static constexpr std::chrono::milliseconds kTeardownLimit{500};

    explicit StopSequence(const std::atomic<int32_t>& inFlightCallbacks)
        : m_inFlight(inFlightCallbacks) {}

    // Lets threads that call back into the recorder see the shutting-down flag before teardown.
    static void Settle();
    // The crop released and the zoom's thread stopped once its transition ends or the wait ends.
    static void WindDownFocusZoom(IFocusZoomManager& focus, IScreenCapture* screen);
    void WaitForCallbacks() const;
    // Left to finish on its own when it stops writing; the teardown then does not wait for the
    // encoder, which waits for it.
    void FinalizeEncoder(IEncoder& encoder);
    // Destroys the parts in their order on a task of its own, waited for at most kTeardownLimit:
    // a component destructor waiting for a thread stuck in a platform call is left to finish in
    // the background. While a callback is still inside a component the task first waits for it
    // to leave, with `keepAlive` holding what the in-flight count belongs to, and is not waited
    // for at all.
    void Destroy(std::unique_ptr<SessionParts> parts, std::shared_ptr<const void> keepAlive);

  private:
    static void WaitForFocusZoomIdle(const IFocusZoomManager& focus);

    const std::atomic<int32_t>& m_inFlight;
    bool m_finalizeLeftBehind = false;
};

}  // namespace tamro
