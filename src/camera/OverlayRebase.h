#pragma once

#include <cstdint>

namespace tamro {

// Moves the timestamps of composited frames onto the camera's clock: a composited frame shows a
// camera picture that is older than the screen by the camera's latency, so it is stamped by the
// camera's time less a smoothed estimate of that latency. All values in 100-ns units.
// Threading: the screen's frame thread, one frame at a time; Reset and ClearLast while no frame
// is in flight.
class OverlayRebase {
  public:
    static constexpr int64_t kMinDelay = 200'000;
    static constexpr int64_t kMaxDelay = 1'500'000;
    // A camera further behind than this is not measured: its frames keep the screen's time.
    static constexpr int64_t kFarBehind = 1'200'000;

    // A new recording: the latency estimate starts at `initialDelay`, not yet measured.
    void Reset(int64_t initialDelay);
    // The time line starts anew (a prepared recording starts); the estimate stays.
    void ClearLast() { m_lastRebased = 0; }

    // The timestamp of a frame whose screen time is `pts` and whose camera picture was handed
    // over at `cameraTime` (0 or less: none yet, `pts` stays); `cameraFps` is the camera's rate.
    int64_t Rebase(int64_t pts, int64_t cameraTime, int32_t cameraFps);

    int64_t SmoothedDelay() const { return m_delay; }
    bool DelayMeasured() const { return m_delayValid; }
    int64_t LastRebased() const { return m_lastRebased; }

  private:
    void Measure(int64_t diff);

    int64_t m_delay = 1'000'000;
    bool m_delayValid = false;
    int64_t m_lastRebased = 0;
};

}  // namespace tamro
