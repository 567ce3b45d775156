#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audio/SampleRing.h"

namespace tamro {

// Keeps one source's sound in sync across a pause in its deliveries. What arrives after the pause
// is either fresh sound (a source that was idle) or the backlog of a capture thread that stalled
// while the output went on and played silence in its place. Either way its newest sample was just
// taken and must play one set-point from now, so the ring is brought back to the set-point: topped
// up with silence, or the backlog's stale head, already covered by that silence, is dropped. The
// output's own lag counts against the ring: a stalled output will read what it owes in a burst.
// Threading: the capture thread only; the servo restart flag is taken by the output thread.
class GapRealigner {
  public:
    static constexpr int64_t kGapNs = 150'000'000;
    // Smaller excesses are left to the drift servo: dropping sound is for stalls, not jitter.
    static constexpr size_t kDropToleranceSamples = 3072;  // 32 ms of stereo at 48 kHz

    // `samplesPerSecond` counts every channel's samples.
    GapRealigner(const char* label, size_t setpointSamples, size_t samplesPerSecond) noexcept
        : m_label(label), m_setpoint(setpointSamples), m_samplesPerSecond(samplesPerSecond) {}

    void Reset() noexcept;
    // A delivery of `incoming` samples at `nowNs`, before it is written to `ring`; `owedSamples`
    // is how far the output is behind its schedule. After a gap, pads `ring` with silence or
    // returns how many samples to drop from the head of the delivery.
    size_t BeforeWrite(SampleRing& ring, size_t incoming, size_t owedSamples, int64_t nowNs);
    // True once after each realignment: the servo's average no longer describes the ring.
    bool TakeRealigned() noexcept { return m_realigned.exchange(false); }

  private:
    size_t Realign(SampleRing& ring, size_t incoming, size_t owedSamples, int64_t gapNs);

    const char* const m_label;
    const size_t m_setpoint;
    const size_t m_samplesPerSecond;
    int64_t m_lastDeliveryNs = 0;
    std::atomic<bool> m_realigned{false};
};

}  // namespace tamro
