#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/AudioSourceOpener.h"
#include "platform/audio/AudioDevicesFactory.h"
#include "platform/audio/WakeEvent.h"
#include "platform/system/BackgroundTask.h"

namespace tamro {

// Brings back the sources whose audio server went away: once a second, off the capture and output
// threads, it connects afresh and opens the lost streams again, each attempt bounded by the
// server's own time-out. The capture thread takes what it opened and carries on with it.
// Threading: Revive and Take from the capture thread; the attempts run on a thread of the
// reviver's own that touches only state it shares; Stop and the destructor from the owner, bounded.
class SourceReviver {
  public:
    // An attempt in progress is left to end on its own: it touches only what it shares.
    static constexpr std::chrono::milliseconds kStopLimit{300};

    struct Microphone {
        std::string deviceId;  // this one and no other; empty: the default
        bool rawStream = true;
    };

    SourceReviver(platform::AudioDevicesConnector connect,
                  std::shared_ptr<platform::WakeEvent> systemEvent,
                  std::shared_ptr<platform::WakeEvent> micEvent,
                  std::chrono::milliseconds period = std::chrono::seconds(1));
    ~SourceReviver();
    SourceReviver(const SourceReviver&) = delete;
    SourceReviver& operator=(const SourceReviver&) = delete;

    // Tries again to open the system output's loopback (a process tree's when `processPid` is not
    // 0) or the microphone until it opens. The first attempt waits a period: a server that just
    // went away is not back at once. `atOnce` makes it now, for a source that is still there.
    void ReviveSystem(uint32_t processPid, bool atOnce = false);
    void ReviveMicrophone(Microphone microphone);
    std::optional<AudioSourceOpener::Source> TakeSystem();
    std::optional<AudioSourceOpener::Source> TakeMicrophone();
    // Gives up on what is still lost.
    void Stop();

  private:
    struct State;
    void EnsureRunning(std::unique_lock<std::mutex>& lock);
    static void Run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state;
    std::unique_ptr<platform::BackgroundTask> m_task;
};

}  // namespace tamro
