#include "session/MediaTimeline.h"

#include <algorithm>
#include <utility>

#include "diag/PerfLog.h"
#include "diag/RateLimit.h"
#include "platform/system/SteadyClock.h"

namespace tamro {
namespace {

// 1 ms in media time: the smallest step that keeps video timestamps strictly increasing.
constexpr int64_t kMonotonicStep = 10'000;
constexpr int64_t kHundredNsPerSecond = 10'000'000;
// Before the first frame: a first frame stamped 0 is not a repeat of anything.
constexpr int64_t kNoVideoYet = -1;

}  // namespace

MediaTimeline::MediaTimeline(std::function<int64_t()> clock)
    : m_clock(clock ? std::move(clock) : [] { return platform::SteadyClockNs(); }) {}

int64_t MediaTimeline::Start() {
    const int64_t now = m_clock();
    m_recordingStartNs.store(now);
    m_lastVideoPts.store(0);
    m_lastAudioPts.store(0);
    m_lastWrittenVideoPts.store(kNoVideoYet);
    m_pausedTotalUs.store(0);
    m_sessionOriginNs.store(now);
    m_hasSessionOrigin.store(true);
    return now;
}

void MediaTimeline::NotePause() {
    const int64_t now = m_clock();
    m_pauseStartNs.store(now);
    m_pausedElapsedUs.store((now - m_recordingStartNs.load()) / 1000 - m_pausedTotalUs.load());
}

void MediaTimeline::NoteResume() {
    m_pausedTotalUs.fetch_add((m_clock() - m_pauseStartNs.load()) / 1000);
}

double MediaTimeline::ElapsedSeconds(bool paused) const {
    if (paused) {
        return static_cast<double>(m_pausedElapsedUs.load()) / 1e6;
    }
    const int64_t elapsedUs =
        (m_clock() - m_recordingStartNs.load()) / 1000 - m_pausedTotalUs.load();
    return static_cast<double>(elapsedUs) / 1e6;
}

int64_t MediaTimeline::SessionStartTime() const {
    return m_hasSessionOrigin.load() ? m_sessionOriginNs.load() / 100 : 0;
}

int64_t MediaTimeline::NoteVideo(int64_t timestamp) {
    // The capture's time line already leaves pauses out.
    const int64_t pts = std::max<int64_t>(timestamp, 0);
    m_lastVideoPts.store(pts);
    return pts;
}

// A constant-rate file has one frame per 1/fps slot: a time the overlay moved off the grid
// goes to its nearest slot, and one at or before the last written slot to the next slot, since a
// frame 1 ms after another would put two frames in one slot. Without a rate the step is 1 ms.
int64_t MediaTimeline::FloorVideo(int64_t pts) {
    pts = NearestSlotTime(pts);
    const int64_t lastWritten = m_lastWrittenVideoPts.load();
    if (pts <= lastWritten) {
        const int64_t before = pts;
        pts = NextSlotTime(lastWritten);
        static FirstOnly nonMonotonicLogged;
        if (PerfLog::IsPerfEnabled() && nonMonotonicLogged()) {
            PerfLog::Write(
                "[PERF][Encode] non-monotonic PTS floored: %lldms -> %lldms (overlay rebase "
                "below written samples)\n",
                static_cast<long long>(before / 10'000), static_cast<long long>(pts / 10'000));
        }
    }
    m_lastWrittenVideoPts.store(pts);
    return pts;
}

int64_t MediaTimeline::NearestSlotTime(int64_t pts) const {
    const int64_t duration = m_frameDuration.load();
    if (duration <= 0)
        return pts;
    const int64_t fps = (kHundredNsPerSecond + duration / 2) / duration;
    const int64_t slot = (pts * fps + kHundredNsPerSecond / 2) / kHundredNsPerSecond;
    return slot * kHundredNsPerSecond / fps;
}

int64_t MediaTimeline::NextSlotTime(int64_t lastWritten) const {
    const int64_t duration = m_frameDuration.load();
    if (duration <= 0)
        return lastWritten + kMonotonicStep;
    const int64_t fps = (kHundredNsPerSecond + duration / 2) / duration;
    const int64_t slot = (lastWritten * fps + kHundredNsPerSecond / 2) / kHundredNsPerSecond;
    return (slot + 1) * kHundredNsPerSecond / fps;
}

int64_t MediaTimeline::VideoEnd() const {
    return std::max<int64_t>(m_lastWrittenVideoPts.load(), 0) + m_frameDuration.load();
}

bool MediaTimeline::KeepsAudio(int64_t timestamp, bool recording, bool shuttingDown) const {
    if (!shuttingDown && recording) {
        return true;
    }
    const bool ending = shuttingDown && (recording || m_drainingAudio.load());
    return ending && timestamp < VideoEnd();
}

}  // namespace tamro
