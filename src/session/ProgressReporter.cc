#include "session/ProgressReporter.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "diag/PerfLog.h"
#include "platform/system/BackgroundTask.h"
#include "platform/system/SteadyClock.h"

namespace tamro {
namespace {

constexpr int64_t kPeriodNs = 1'000'000'000;

}  // namespace

struct ProgressReporter::Signal {
    std::mutex mutex;
    std::condition_variable changed;
    bool running = true;

    void RequestStop() {
        std::lock_guard lock(mutex);
        running = false;
        changed.notify_all();
    }

    // True when the deadline passed with the thread still wanted.
    bool SleepUntil(int64_t deadlineNs) {
        const std::chrono::steady_clock::time_point deadline{std::chrono::nanoseconds(deadlineNs)};
        std::unique_lock lock(mutex);
        return !changed.wait_until(lock, deadline, [this] { return !running; });
    }
};

ProgressReporter::~ProgressReporter() {
    if (m_thread.joinable()) {
        // Only left over when a stop failed part-way; the thread holds nothing of this object.
        m_thread.detach();
    }
}

void ProgressReporter::Start(std::function<bool()> tick) {
    auto signal = std::make_shared<Signal>();
    m_signal = signal;
    m_thread = std::thread([signal, tick = std::move(tick)] {
        int64_t deadline = platform::SteadyClockNs() + kPeriodNs;
        while (signal->SleepUntil(deadline) && tick()) {
            deadline = std::max(deadline + kPeriodNs, platform::SteadyClockNs());
        }
    });
}

void ProgressReporter::RequestStop() {
    if (m_signal) {
        m_signal->RequestStop();
    }
}

void ProgressReporter::Join() {
    platform::JoinOrAbandon(std::move(m_thread), kJoinLimit,
                            "[NativeRecorder] STEP 7: WARNING: Progress thread join timed out "
                            "after 200ms \xC3\xA2\xE2\x82\xAC\xE2\x80\x9D abandoning waiter");
}

std::string ProgressReporter::AudioLossNotice(const IAudioCapture& audio) {
    const std::string lost = audio.LostSources();
    if (lost.empty()) {
        return lost;
    }
    return audio.LostWithServer() ? "Audio server lost: the recording goes on without its " + lost +
                                        " until the server returns"
                                  : "Audio device lost: the recording goes on without its " + lost +
                                        " until it returns";
}

std::shared_ptr<RecordingProgress> ProgressReporter::Report(const Figures& f) {
    const double fps =
        f.elapsedSeconds > 0.0 ? static_cast<double>(f.framesWritten) / f.elapsedSeconds : 0.0;
    if (PerfLog::IsPerfEnabled()) {
        PerfLog::Write(
            "[PERF][AVSync] t=%.0fs videoPts=%lldms audioPts=%lldms drift(v-a)=%lldms "
            "fps=%.1f dropped=%d\n",
            f.elapsedSeconds, static_cast<long long>(f.videoPts / 10'000),
            static_cast<long long>(f.audioPts / 10'000),
            static_cast<long long>((f.videoPts - f.audioPts) / 10'000 - f.audioPrefill / 10'000),
            fps, f.dropped);
    }
    return std::make_shared<RecordingProgress>(
        f.elapsedSeconds, RecordingProgress::EstimateBytes(f.elapsedSeconds), fps, f.dropped);
}

}  // namespace tamro
