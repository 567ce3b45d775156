#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "audio/IAudioCapture.h"
#include "tamro/RecordingProgress.h"

namespace tamro {

// The once-a-second progress of a recording: a thread that runs the owner's tick every second
// until asked to stop, and the figures a tick reports.
// Threading: Start, RequestStop and Join from the recorder's start and stop (serialised by it);
// the tick runs on the progress thread. The thread holds only the shared stop signal and what the
// tick captured, so a join that Stop abandons leaves nothing of this object in use.
class ProgressReporter {
  public:
    static constexpr std::chrono::milliseconds kJoinLimit{200};

    struct Figures {
        double elapsedSeconds = 0.0;
        uint64_t framesWritten = 0;
        int32_t dropped = 0;
        int64_t videoPts = 0;  // 100-ns units
        int64_t audioPts = 0;
        int64_t audioPrefill = 0;
    };

    ProgressReporter() = default;
    ~ProgressReporter();
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    // `tick` runs a second after the start and every second after, until it returns false.
    void Start(std::function<bool()> tick);
    // Wakes the thread at once instead of letting it wait out its second.
    void RequestStop();
    // Bounded: a tick whose handler hangs is left behind with a warning.
    void Join();

    // The progress a tick reports, and its A/V-sync line in the performance log.
    static std::shared_ptr<RecordingProgress> Report(const Figures& figures);
    // What the user is told when audio sources were lost; empty while every source is heard.
    static std::string AudioLossNotice(const IAudioCapture& audio);

  private:
    struct Signal;
    std::shared_ptr<Signal> m_signal;
    std::thread m_thread;
};

}  // namespace tamro
