#pragma once

#include <chrono>
#include <span>

namespace tamro::platform {

// A waitable flag backed by an eventfd. An auto-reset event is cleared by the wait that sees it;
// a manual-reset event stays set until Reset.
// Threading: Set, Reset and waits may come from any thread.
class WakeEvent {
  public:
    enum class Mode { kAutoReset, kManualReset };

    explicit WakeEvent(Mode mode);
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // False only when the eventfd could not be created.
    bool IsValid() const noexcept { return m_fd >= 0; }
    void Set() noexcept;
    void Reset() noexcept;
    bool IsSet() const noexcept;
    // Readable while set: for a poll that waits on the event beside other descriptors.
    int Fd() const noexcept { return m_fd; }

    // Index of the first set event (clearing it when auto-reset), kWaitTimeout, or kWaitFailed
    // with errno kept.
    static constexpr int kWaitTimeout = -1;
    static constexpr int kWaitFailed = -2;
    static int WaitAny(std::span<WakeEvent* const> events, std::chrono::milliseconds limit);

  private:
    bool Consume() noexcept;

    Mode m_mode;
    int m_fd;
};

}  // namespace tamro::platform
