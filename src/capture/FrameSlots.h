#pragma once

#include <cstdint>

namespace tamro {

// The video's constant-rate time line. Slot k shows the screen at the instant origin + k / fps of
// the steady clock and is stamped k / fps on the recording's time line. A pause moves the origin
// on by its length, so the time line has no hole and the next slot carries on from the last.
// Threading: none of its own; the capture's pacer lock guards it.
class FrameSlots {
  public:
    static constexpr uint32_t kMinFps = 1;
    static constexpr uint32_t kMaxFps = 120;

    explicit FrameSlots(uint32_t fps = 30);

    uint32_t Fps() const { return m_fps; }
    // One slot's length, rounded down to whole nanoseconds.
    int64_t PeriodNs() const { return kNsPerSecond / m_fps; }

    // Slot 0 at `originNs`; clears any pause.
    void Start(int64_t originNs);
    // The steady-clock instant slot `k` shows.
    int64_t InstantNs(uint64_t k) const;
    // When slot `k`'s picture is chosen: half a slot after its instant, so that the picture is
    // the one nearest to the instant rather than up to a slot old.
    int64_t CloseNs(uint64_t k) const;
    // The slot's time on the recording's time line, in 100-ns units.
    int64_t Timestamp(uint64_t k) const;

    uint64_t Next() const { return m_next; }
    void Advance() { ++m_next; }
    // The slot last advanced over is to be filled again: its delivery came as a pause began.
    void Retake() {
        if (m_next > 0)
            --m_next;
    }

    void Pause(int64_t nowNs);
    void Resume(int64_t nowNs);
    bool Paused() const { return m_pausedAtNs >= 0; }
    // After a stall too long to fill, the time line resumes at `nowNs` as after a pause of the
    // missing time.
    void SkipTo(int64_t nowNs);

  private:
    static constexpr int64_t kNsPerSecond = 1'000'000'000;

    uint32_t m_fps;
    int64_t m_originNs = 0;
    uint64_t m_next = 0;
    int64_t m_pausedAtNs = -1;
};

}  // namespace tamro
