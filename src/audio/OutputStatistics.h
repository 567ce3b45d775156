#pragma once

#include <cstddef>
#include <cstdint>

namespace tamro {

// The output thread's bookkeeping for its once-a-second perf line: ring underruns and zero fill,
// smoothed ring fills, the worst wake lag and the time spent in the audio callback, with the
// rates of the capture side's counters taken over each window.
// Threading: output thread only.
class OutputStatistics {
  public:
    enum class Ring { kMic, kSystem };

    // Cumulative counters of one source as the capture side keeps them.
    struct SourceCounters {
        uint64_t rawFrames = 0;
        uint64_t silentFrames = 0;
        uint64_t discontinuities = 0;
        uint64_t droppedSamples = 0;
        uint64_t devicePosition = 0;
        uint64_t clockPosition = 0;  // 100-ns units
        uint64_t resamplerOutputFrames = 0;
        uint32_t nominalRate = 0;
        double correction = 0.0;
    };

    struct Snapshot {
        SourceCounters mic;
        SourceCounters sys;
        uint64_t micWakeMaxUs = 0;
        uint32_t micWakeGapsOver30ms = 0;
        int32_t noiseMode = 0;
        bool noiseBypassed = false;
        float rawMicRms = 0.0f;
        float postMicRms = 0.0f;
        double agcGain = 1.0;
        int64_t nowNs = 0;
    };

    void Reset();
    void NoteLag(int64_t lagUs);
    // One ring read of the tick: `used` samples before it, `got` of the block's 2048.
    void NoteRead(Ring ring, size_t used, size_t got);
    void AddCallbackTime(int64_t us) { m_callbackUs += us; }
    // Ends a window: writes the line when the perf log is on and starts the next window.
    void EndWindow(const Snapshot& now);

    uint64_t Underruns(Ring ring) const { return Of(ring).underruns; }
    double FillEmaMs(Ring ring) const { return Of(ring).fillEmaMs; }

  private:
    struct RingState {
        uint64_t underruns = 0;
        uint64_t zeroFilledSamples = 0;
        double fillMs = 0.0;
        double fillEmaMs = -1.0;  // unset
    };

    const RingState& Of(Ring ring) const { return ring == Ring::kMic ? m_mic : m_sys; }
    RingState& Of(Ring ring) { return ring == Ring::kMic ? m_mic : m_sys; }
    void WriteLine(const Snapshot& now, double seconds) const;

    RingState m_mic;
    RingState m_sys;
    int64_t m_lagMaxUs = 0;
    int64_t m_callbackUs = 0;
    bool m_hasPrevious = false;
    Snapshot m_previous;
};

}  // namespace tamro
