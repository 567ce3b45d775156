#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/ManualClock.h"
#include "platform/system/SteadyClock.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;
using platform::Clock;
using platform::ManualClock;

// A thread that wakes every `periodNs` until told to stop, noting the time of each wake.
class Ticker {
  public:
    Ticker(Clock& clock, int64_t periodNs)
        : m_thread([this, &clock, periodNs] {
              std::unique_lock lock(m_mutex);
              for (int64_t next = clock.NowNs() + periodNs;; next += periodNs) {
                  if (clock.WaitUntil(lock, m_wake, next, [&] { return m_stop; }))
                      return;
                  m_ticks.push_back(clock.NowNs());
              }
          }) {}
    ~Ticker() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    std::vector<int64_t> Ticks() {
        std::lock_guard lock(m_mutex);
        return m_ticks;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    bool m_stop = false;
    std::vector<int64_t> m_ticks;
    std::thread m_thread;  // last: starts once the rest exists
};

TEST(ManualClockTest, AdvanceStopsAtEveryDeadlineOfEveryWaiter) {
    ManualClock clock(0);
    Ticker fast(clock, 10);
    Ticker slow(clock, 25);
    ASSERT_TRUE(clock.AwaitTimedWaiters(2));
    ASSERT_TRUE(clock.AdvanceTo(60));
    EXPECT_EQ(clock.NowNs(), 60);
    EXPECT_EQ(fast.Ticks(), (std::vector<int64_t>{10, 20, 30, 40, 50, 60}));
    EXPECT_EQ(slow.Ticks(), (std::vector<int64_t>{25, 50}));
    ASSERT_TRUE(clock.Advance(5));
    EXPECT_EQ(fast.Ticks().size(), 6u) << "nothing falls due between deadlines";
}

TEST(ManualClockTest, AWaiterEndsByItsConditionWithoutTheClockMoving) {
    ManualClock clock(0);
    std::mutex mutex;
    std::condition_variable_any wake;
    bool ready = false;
    auto waiter = std::async(std::launch::async, [&] {
        std::unique_lock lock(mutex);
        return clock.WaitUntil(lock, wake, Clock::kNever, [&] { return ready; });
    });
    ASSERT_TRUE(clock.AdvanceTo(1'000'000)) << "a wait without deadline holds nothing up";
    {
        std::lock_guard lock(mutex);
        ready = true;
    }
    wake.notify_all();
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(clock.NowNs(), 1'000'000);
}

TEST(ManualClockTest, AThreadThatBlocksElsewhereIsNotWaitedForForever) {
    ManualClock clock(0);
    std::promise<void> release;
    auto worker = std::async(std::launch::async, [&, released = release.get_future()] {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        clock.WaitUntil(lock, wake, 10, [] { return false; });
        released.wait();
    });
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    EXPECT_FALSE(clock.AdvanceTo(20, 50ms));
    EXPECT_EQ(clock.NowNs(), 10) << "stays where the thread was woken";
    release.set_value();
    worker.get();

    // JumpTo wakes without waiting for the woken.
    std::promise<void> again;
    auto jumper = std::async(std::launch::async, [&, released = again.get_future()] {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        const bool done = clock.WaitUntil(lock, wake, 30, [] { return false; });
        released.wait();
        return done;
    });
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    clock.JumpTo(40);
    EXPECT_EQ(clock.NowNs(), 40);
    again.set_value();
    EXPECT_FALSE(jumper.get()) << "ended by its deadline";
}

TEST(ManualClockTest, AThreadThatEndsAfterItsWakeDoesNotHoldTheClockUp) {
    ManualClock clock(0);
    std::thread once([&] {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        clock.WaitUntil(lock, wake, 10, [] { return false; });
    });
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    EXPECT_TRUE(clock.AdvanceTo(20));
    EXPECT_EQ(clock.NowNs(), 20);
    once.join();
}

TEST(SteadyClockTest, WaitsEndAtTheDeadlineOrTheCondition) {
    platform::SteadyClock clock;
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    const int64_t deadline = clock.NowNs() + 5'000'000;
    EXPECT_FALSE(clock.WaitUntil(lock, wake, deadline, [] { return false; }));
    EXPECT_GE(clock.NowNs(), deadline);
    EXPECT_TRUE(clock.WaitUntil(lock, wake, Clock::kNever, [] { return true; }));
}

}  // namespace
}  // namespace tamro::test
