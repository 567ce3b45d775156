#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace tamro {

// The session's time line: its origin on the injected clock, the paused time left out of the
// elapsed time, the video timestamps as written (kept strictly increasing) and the end of the
// picture, up to which the sound is kept when the session stops. Timestamps are in 100-ns units,
// clock readings in nanoseconds.
// Threading: Start, NotePause and NoteResume from the recorder's operations, which serialise
// them; StampVideo from the frame callback; NoteAudio from the audio callback; the readers from
// any thread. Every field is atomic.
class MediaTimeline {
  public:
    explicit MediaTimeline(std::function<int64_t()> clock);

    // 100-ns units; what a frame adds to the end of the picture.
    void SetFrameDuration(int64_t duration) { m_frameDuration.store(duration); }
    // A new session begins now; returns its origin.
    int64_t Start();
    void NotePause();
    void NoteResume();
    double ElapsedSeconds(bool paused) const;
    // The session's origin in 100-ns units, 0 before the first session.
    int64_t SessionStartTime() const;

    // The timestamp to write a frame taken at `timestamp` with: never before the last one written.
    int64_t StampVideo(int64_t timestamp) { return FloorVideo(NoteVideo(timestamp)); }
    // The frame's time as taken (never negative), before the camera overlay may move it.
    int64_t NoteVideo(int64_t timestamp);
    // The time it is written at: the slot of the constant-rate time line nearest to `pts`, or
    // the slot after the last one written when that is taken.
    int64_t FloorVideo(int64_t pts);
    void NoteAudio(int64_t timestamp) { m_lastAudioPts.store(timestamp); }
    // Where the picture written so far ends.
    int64_t VideoEnd() const;
    int64_t LastVideoPts() const { return m_lastVideoPts.load(); }
    int64_t LastAudioPts() const { return m_lastAudioPts.load(); }

    // Sound is written while recording and, once stopping, up to the end of the picture: from
    // the output thread while it runs and from the drain after it.
    void SetDraining(bool draining) { m_drainingAudio.store(draining); }
    bool KeepsAudio(int64_t timestamp, bool recording, bool shuttingDown) const;

  private:
    int64_t NearestSlotTime(int64_t pts) const;
    int64_t NextSlotTime(int64_t lastWritten) const;

    const std::function<int64_t()> m_clock;
    std::atomic<int64_t> m_recordingStartNs{0};
    std::atomic<int64_t> m_pauseStartNs{0};
    std::atomic<int64_t> m_pausedTotalUs{0};
    std::atomic<int64_t> m_pausedElapsedUs{0};
    std::atomic<int64_t> m_sessionOriginNs{0};
    std::atomic<bool> m_hasSessionOrigin{false};
    std::atomic<int64_t> m_lastVideoPts{0};
    std::atomic<int64_t> m_lastAudioPts{0};
    std::atomic<int64_t> m_lastWrittenVideoPts{-1};
    std::atomic<int64_t> m_frameDuration{0};
    std::atomic<bool> m_drainingAudio{false};
};

}  // namespace tamro
