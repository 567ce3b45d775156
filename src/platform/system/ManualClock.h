#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/Clock.h"

namespace tamro::platform {

// A clock that moves only when told to, for tests and simulations. Moved on with AdvanceTo, it
// stops at every deadline a thread waits for and lets that thread run until it waits again or
// ends, so a thread that paces itself sees each instant it asked for, as on an idle machine, and
// the caller gets control back only once every thread is waiting.
// Threading: any thread. A waiting thread holds its own mutex, then this clock's; the clock never
// takes a waiter's mutex, so moving it cannot deadlock with one.
class ManualClock final : public Clock {
  public:
    static constexpr std::chrono::milliseconds kSettleLimit{10'000};

    explicit ManualClock(int64_t startNs = 1'000'000'000);

    int64_t NowNs() const override { return m_state->nowNs.load(); }
    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                   int64_t deadlineNs, const std::function<bool()>& done) override;

    // Moves the clock to `targetNs` (never back) one deadline at a time. Each thread due on the
    // way wakes at its own deadline, and the clock moves on once it waits again or ends. False
    // when a woken thread has done neither within `settleLimit` of real time: it blocks on
    // something else. The clock then stays at that deadline and waits for it no more.
    bool AdvanceTo(int64_t targetNs, std::chrono::milliseconds settleLimit = kSettleLimit);
    bool Advance(int64_t ns, std::chrono::milliseconds settleLimit = kSettleLimit) {
        return AdvanceTo(NowNs() + ns, settleLimit);
    }
    // Moves the clock to `targetNs` at once and wakes every thread due, without waiting for them:
    // for a thread that will block on something other than the clock.
    void JumpTo(int64_t targetNs);

    // Waits, up to `limit` of real time, until `count` threads wait for a deadline still ahead:
    // threads that something else woke are back on the clock.
    bool AwaitTimedWaiters(size_t count, std::chrono::milliseconds limit = kSettleLimit);

    struct Waiter {
        std::condition_variable_any* wake;
        int64_t deadlineNs;
        std::thread::id thread = std::this_thread::get_id();
    };
    // Shared with the threads that waited on the clock, which leave it when they end.
    struct State {
        std::atomic<int64_t> nowNs;
        std::mutex mutex;
        std::condition_variable waitersChanged;
        std::vector<const Waiter*> waiters;
        std::vector<std::thread::id> running;  // woken by the clock, not waiting again yet
    };

  private:
    class Registration;

    // Wakes the waiters due now; with `track`, they count as running until they wait again.
    // Called with the state's mutex held.
    void WakeDue(bool track);
    int64_t NextDeadlineNs() const;

    const std::shared_ptr<State> m_state = std::make_shared<State>();
};

}  // namespace tamro::platform
