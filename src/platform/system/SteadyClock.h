#pragma once

#include <cstdint>

#include "platform/system/Clock.h"

namespace tamro::platform {

// Monotonic nanoseconds. Every pacing decision, animation, throttle and time-out uses this clock.
int64_t SteadyClockNs() noexcept;

// Sleeps until the steady clock reaches `deadlineNs` (returns at once if it has passed).
void SleepUntilNs(int64_t deadlineNs) noexcept;

// SteadyClockNs as a Clock, for the classes that take their time from one.
// Threading: any thread.
class SteadyClock final : public Clock {
  public:
    int64_t NowNs() const override { return SteadyClockNs(); }
    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                   int64_t deadlineNs, const std::function<bool()>& done) override;
};

}  // namespace tamro::platform
