#include "audio/OutputStatistics.h"

#include <algorithm>

#include "audio/SampleRing.h"
#include "diag/PerfLog.h"

namespace tamro {
namespace {

// Ring fills are shown in 48-frame stereo milliseconds, as the servo measures them.
constexpr double kSamplesPerMs = 2.0 * 48.0;

double PerSecond(uint64_t now, uint64_t before, double seconds) {
    return static_cast<double>(now - before) / seconds;
}

// The device's real rate over the window, from its position against the clock's; 0 without two
// clock readings to compare.
double DeviceRate(const OutputStatistics::SourceCounters& now,
                  const OutputStatistics::SourceCounters& before) {
    if (before.clockPosition == 0 || now.clockPosition <= before.clockPosition)
        return 0.0;
    return static_cast<double>(now.devicePosition - before.devicePosition) * 1e7 /
           static_cast<double>(now.clockPosition - before.clockPosition);
}

}  // namespace

void OutputStatistics::Reset() {
    m_mic = {};
    m_sys = {};
    m_lagMaxUs = 0;
    m_callbackUs = 0;
    m_hasPrevious = false;
    m_previous = {};
}

void OutputStatistics::NoteLag(int64_t lagUs) {
    m_lagMaxUs = std::max(m_lagMaxUs, lagUs);
}

void OutputStatistics::NoteRead(Ring ring, size_t used, size_t got) {
    RingState& state = Of(ring);
    if (got < SampleRing::kBlockSamples) {
        ++state.underruns;
        state.zeroFilledSamples += SampleRing::kBlockSamples - got;
    }
    state.fillMs = static_cast<double>(used) / kSamplesPerMs;
    state.fillEmaMs =
        state.fillEmaMs < 0.0 ? state.fillMs : 0.07 * state.fillMs + 0.93 * state.fillEmaMs;
}

void OutputStatistics::EndWindow(const Snapshot& now) {
    if (PerfLog::IsPerfEnabled()) {
        double seconds =
            m_hasPrevious ? static_cast<double>(now.nowNs - m_previous.nowNs) / 1e9 : 1.0;
        if (seconds <= 0.0)
            seconds = 1.0;
        WriteLine(now, seconds);
        m_previous = now;
        m_hasPrevious = true;
    }
    m_callbackUs = 0;
    m_lagMaxUs = 0;
}

void OutputStatistics::WriteLine(const Snapshot& now, double seconds) const {
    const Snapshot& before = m_previous;
    PerfLog::Write(
        "[PERF][Audio] mic raw=%.0f/s dev=%.1fHz(nom %u) silent=%llu disc=%llu resampOut=%.0f/s "
        "drop=%llu wakeMax=%lldms gaps30=%u fill=%.0fms(ema %.0f) under=%llu zeroCum=%.0fms "
        "corr=%.0fppm mode=%d nsBypass=%d rawRMS=%.3f postRMS=%.3f boost=%.2f | sys raw=%.0f/s "
        "dev=%.1fHz fill=%.0fms(ema %.0f) under=%llu zeroCum=%.0fms drop=%llu corr=%.0fppm | out "
        "lagMax=%lldms cb=%lldms/s\n",
        PerSecond(now.mic.rawFrames, before.mic.rawFrames, seconds),
        DeviceRate(now.mic, before.mic), now.mic.nominalRate,
        static_cast<unsigned long long>(now.mic.silentFrames),
        static_cast<unsigned long long>(now.mic.discontinuities),
        PerSecond(now.mic.resamplerOutputFrames, before.mic.resamplerOutputFrames, seconds),
        static_cast<unsigned long long>(now.mic.droppedSamples - before.mic.droppedSamples),
        static_cast<long long>(now.micWakeMaxUs / 1000), now.micWakeGapsOver30ms, m_mic.fillMs,
        m_mic.fillEmaMs, static_cast<unsigned long long>(m_mic.underruns),
        static_cast<double>(m_mic.zeroFilledSamples) / kSamplesPerMs, now.mic.correction * 1e6,
        now.noiseMode, now.noiseBypassed ? 1 : 0, now.rawMicRms, now.postMicRms, now.agcGain,
        PerSecond(now.sys.rawFrames, before.sys.rawFrames, seconds),
        DeviceRate(now.sys, before.sys), m_sys.fillMs, m_sys.fillEmaMs,
        static_cast<unsigned long long>(m_sys.underruns),
        static_cast<double>(m_sys.zeroFilledSamples) / kSamplesPerMs,
        static_cast<unsigned long long>(now.sys.droppedSamples - before.sys.droppedSamples),
        now.sys.correction * 1e6, static_cast<long long>(m_lagMaxUs / 1000),
        static_cast<long long>(m_callbackUs / 1000));
}

}  // namespace tamro
