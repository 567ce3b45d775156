#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>

namespace tamro::platform {

// The time a pacing thread reads and waits for. The program runs on the steady clock; tests put a
// clock of their own in its place and move it themselves, so that what a thread does at each
// instant can be checked exactly, however loaded the machine.
// Threading: any thread.
class Clock {
  public:
    static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

    virtual ~Clock() = default;

    // Monotonic nanoseconds.
    virtual int64_t NowNs() const = 0;

    // Waits on `wake` until `done()` holds or the clock reaches `deadlineNs` (kNever: no
    // deadline); returns done(). `lock` is held whenever `done` is called, so whoever makes it
    // true does so under that mutex and then notifies `wake`.
    virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                           int64_t deadlineNs, const std::function<bool()>& done) = 0;
};

}  // namespace tamro::platform
