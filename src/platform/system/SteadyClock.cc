#include "platform/system/SteadyClock.h"

#include <cerrno>
#include <chrono>
#include <ctime>

namespace tamro::platform {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;

}  // namespace

int64_t SteadyClockNs() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

void SleepUntilNs(int64_t deadlineNs) noexcept {
    if (deadlineNs <= 0) {
        return;
    }
    const timespec deadline{.tv_sec = static_cast<time_t>(deadlineNs / kNsPerSecond),
                            .tv_nsec = static_cast<long>(deadlineNs % kNsPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// std::chrono::steady_clock reads CLOCK_MONOTONIC too, so a deadline in SteadyClockNs is one of
// its time points.
bool SteadyClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                            int64_t deadlineNs, const std::function<bool()>& done) {
    if (deadlineNs == kNever) {
        wake.wait(lock, done);
        return true;
    }
    const std::chrono::steady_clock::time_point deadline{std::chrono::nanoseconds(deadlineNs)};
    return wake.wait_until(lock, deadline, done);
}

}  // namespace tamro::platform
