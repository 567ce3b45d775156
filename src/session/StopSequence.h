#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "session/SessionBuilder.h"

namespace tamro {

// The steps of stopping a session that wait on other threads, each bounded: a focus transition
// that never ends, a frame or audio callback that never returns and a slow finalisation are
// logged and outlived, never waited for without limit. Finalisation alone is waited for to its
// end, since the file is whole only afterwards.
// Threading: the recorder's stopping thread; the deferred destruction runs on a thread of its
// own that holds the recorder alive.
class StopSequence {
  public:
    static constexpr std::chrono::milliseconds kShutdownSettle{50};
    static constexpr std::chrono::milliseconds kFocusIdleLimit{300};
    static constexpr std::chrono::milliseconds kCallbackDrainLimit{500};
    static constexpr std::chrono::milliseconds kFinalizeReportAfter{1000};

    explicit StopSequence(const std::atomic<int32_t>& inFlightCallbacks)
        : m_inFlight(inFlightCallbacks) {}

    // Lets threads that call back into the recorder see the shutting-down flag before teardown.
    static void Settle();
    // The crop released and the zoom's thread stopped once its transition ends or the wait ends.
    static void WindDownFocusZoom(IFocusZoomManager& focus, IScreenCapture* screen);
    void WaitForCallbacks() const;
    static void FinalizeEncoder(IEncoder& encoder);
    // Destroys the parts in their order: at once, or once the last callback still inside a
    // component has left it, with `keepAlive` holding what the in-flight count belongs to.
    void Destroy(std::unique_ptr<SessionParts> parts, std::shared_ptr<const void> keepAlive) const;

  private:
    static void WaitForFocusZoomIdle(const IFocusZoomManager& focus);

    const std::atomic<int32_t>& m_inFlight;
};

}  // namespace tamro
