#include "capture/FrameSlots.h"

#include <algorithm>

namespace tamro {

FrameSlots::FrameSlots(uint32_t fps) : m_fps(std::clamp(fps, kMinFps, kMaxFps)) {}

void FrameSlots::Start(int64_t originNs) {
    m_originNs = originNs;
    m_next = 0;
    m_pausedAtNs = -1;
}

// Computed from the slot number rather than summed period by period, so that a rate whose
// period is not a whole number of nanoseconds does not drift.
int64_t FrameSlots::InstantNs(uint64_t k) const {
    return m_originNs + static_cast<int64_t>(k * static_cast<uint64_t>(kNsPerSecond) / m_fps);
}

int64_t FrameSlots::CloseNs(uint64_t k) const {
    return InstantNs(k) + PeriodNs() / 2;
}

int64_t FrameSlots::Timestamp(uint64_t k) const {
    return static_cast<int64_t>(k * 10'000'000ull / m_fps);
}

void FrameSlots::Pause(int64_t nowNs) {
    if (!Paused())
        m_pausedAtNs = nowNs;
}

void FrameSlots::Resume(int64_t nowNs) {
    if (!Paused())
        return;
    m_originNs += std::max<int64_t>(nowNs - m_pausedAtNs, 0);
    m_pausedAtNs = -1;
}

void FrameSlots::SkipTo(int64_t nowNs) {
    const int64_t missing = nowNs - InstantNs(m_next);
    if (missing > 0)
        m_originNs += missing;
}

}  // namespace tamro
