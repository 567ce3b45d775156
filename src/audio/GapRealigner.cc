#include "audio/GapRealigner.h"

#include <algorithm>
#include <vector>

#include "diag/Log.h"

namespace tamro {

void GapRealigner::Reset() noexcept {
    m_lastDeliveryNs = 0;
    m_realigned = false;
}

size_t GapRealigner::BeforeWrite(SampleRing& ring, size_t incoming, size_t owedSamples,
                                 int64_t nowNs) {
    const int64_t last = m_lastDeliveryNs;
    m_lastDeliveryNs = nowNs;
    if (last == 0 || nowNs - last <= kGapNs) {
        return 0;
    }
    m_realigned = true;
    return Realign(ring, incoming, owedSamples, nowNs - last);
}

size_t GapRealigner::Realign(SampleRing& ring, size_t incoming, size_t owedSamples, int64_t gapNs) {
    // Signed: an output further behind than the ring holds will read this delivery too.
    const auto after = static_cast<int64_t>(ring.Used()) - static_cast<int64_t>(owedSamples) +
                       static_cast<int64_t>(incoming);
    const auto setpoint = static_cast<int64_t>(m_setpoint);
    if (after < setpoint) {
        const std::vector<float> silence(static_cast<size_t>(setpoint - after) & ~size_t{1}, 0.0f);
        ring.Write(silence.data(), std::min(silence.size(), ring.Free() & ~size_t{1}));
        return 0;
    }
    const size_t excess = std::min(static_cast<size_t>(after - setpoint), incoming) & ~size_t{1};
    if (excess < kDropToleranceSamples) {
        return 0;
    }
    LogLine(
        "[AudioCapture] %s stalled for %lld ms: its oldest %lld ms were dropped to keep it in "
        "sync\n",
        m_label, static_cast<long long>(gapNs / 1'000'000),
        static_cast<long long>(excess * 1000 / m_samplesPerSecond));
    return excess;
}

}  // namespace tamro
