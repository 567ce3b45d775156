#pragma once

namespace tamro::platform {

// Raises the calling thread's scheduling priority for audio work while the object lives, and puts
// the previous priority back when it goes. Stands in for the desktop's multimedia scheduler tasks.
// Threading: construct and destroy on the thread being raised.
class AudioThreadPriority {
  public:
    enum class Task {
        kProAudio,  // capture: woken per packet, must never fall behind the device
        kAudio,     // output: a steady block cadence
    };

    explicit AudioThreadPriority(Task task) noexcept;
    ~AudioThreadPriority();
    AudioThreadPriority(const AudioThreadPriority&) = delete;
    AudioThreadPriority& operator=(const AudioThreadPriority&) = delete;

    // False when the system refused the raise; the thread then runs at its old priority.
    bool Raised() const noexcept { return m_raised; }

  private:
    int m_threadId;
    int m_previousNice = 0;
    bool m_raised = false;
};

}  // namespace tamro::platform
