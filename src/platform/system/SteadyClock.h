#pragma once

#include <cstdint>

namespace tamro::platform {

// Monotonic nanoseconds. Every pacing decision, animation, throttle and time-out uses this clock.
int64_t SteadyClockNs() noexcept;

// Sleeps until the steady clock reaches `deadlineNs` (returns at once if it has passed).
void SleepUntilNs(int64_t deadlineNs) noexcept;

}  // namespace tamro::platform
