#include "camera/OverlayRebase.h"

#include <algorithm>

namespace tamro {

void OverlayRebase::Reset(int64_t initialDelay) {
    m_delay = initialDelay;
    m_delayValid = false;
    m_lastRebased = 0;
}

void OverlayRebase::Measure(int64_t diff) {
    const int64_t sample = std::clamp(diff, kMinDelay, kMaxDelay);
    if (!m_delayValid) {
        m_delay = sample;
        m_delayValid = true;
        return;
    }
    m_delay = std::clamp((m_delay * 31 + sample) / 32, kMinDelay, kMaxDelay);
}

int64_t OverlayRebase::Rebase(int64_t pts, int64_t cameraTime, int32_t cameraFps) {
    if (cameraTime <= 0)
        return pts;
    const int64_t frameDuration = 10'000'000 / std::max(cameraFps, 1);
    const int64_t diff = pts - cameraTime;
    int64_t next = 0;
    if (diff <= kFarBehind) {
        if (diff >= 1)
            Measure(diff);
        const int64_t candidate = std::min(std::max<int64_t>(cameraTime - m_delay, 0), pts);
        next = std::min(candidate > m_lastRebased ? candidate : m_lastRebased + frameDuration, pts);
    } else {
        const int64_t candidate = std::max<int64_t>(pts - m_delay, 0);
        next = candidate > m_lastRebased ? candidate : std::min(m_lastRebased + frameDuration, pts);
    }
    m_lastRebased = next;
    return next;
}

}  // namespace tamro
