#pragma once

#include <cstdint>

namespace tamro {

// Keeps one ring near its fill set-point by trimming the source's conversion ratio: a PI loop on a
// smoothed fill, updated about once a second, moving at most 50 ppm per update and never beyond
// ±0.5 %, so the correction stays inaudible.
// Threading: the output thread only (the source reads the correction it publishes).
class DriftServo {
  public:
    static constexpr double kSetpointMs = 128.0;
    static constexpr double kMaxCorrection = 0.005;
    static constexpr double kMaxStep = 0.00005;
    static constexpr int32_t kHoldoffTicks = 141;   // about 3 s of 1024-frame blocks at 48 kHz
    static constexpr int32_t kTicksPerUpdate = 47;  // about 1 s
    static constexpr int32_t kSaturationReport = 10;

    struct State {
        double fillEmaMs = -1.0;
        double integral = 0.0;
        double correction = 0.0;
        int32_t tickCount = 0;
        int32_t holdoffTicks = kHoldoffTicks;
        bool dirty = false;
        int32_t saturatedCount = 0;
        uint64_t lastRawFrames = 0;
    };

    // One output block: `fillMs` measured before the block was read, `skip` when the block was
    // short or late, `rawFrames` the source's running frame count. Returns the correction.
    double Update(double fillMs, bool skip, uint64_t rawFrames, const char* label);
    // After a gap the ring was refilled: start smoothing and integrating afresh.
    void RestartAfterGap() noexcept;
    void Reset() noexcept { m_state = State{}; }

    const State& state() const noexcept { return m_state; }
    double Correction() const noexcept { return m_state.correction; }

  private:
    State m_state;
};

}  // namespace tamro
