#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/BackgroundTask.h"
#include "platform/system/Environment.h"
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
              for (int64_t next = clock.NowNs() + periodNs;
                   !clock.WaitUntil(lock, m_wake, next, [&] { return m_stop; }); next += periodNs)
                  m_ticks.push_back(clock.NowNs());
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

// A wait that only the clock can end; what WaitUntil returned.
bool WaitForDeadline(Clock& clock, int64_t deadlineNs) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    return clock.WaitUntil(lock, wake, deadlineNs, [] { return false; });
}

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

// A woken thread that ends lets the clock move on at once; one that blocks on something else
// holds it only for the settle limit, and JumpTo does not wait for it at all.
TEST(ManualClockTest, AWokenThreadThatDoesNotWaitAgainIsNotWaitedForForever) {
    ManualClock clock(0);
    std::thread once([&] { WaitForDeadline(clock, 10); });
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    EXPECT_TRUE(clock.AdvanceTo(20));
    EXPECT_EQ(clock.NowNs(), 20);
    once.join();

    std::promise<void> release;
    auto blocked = std::async(std::launch::async, [&, released = release.get_future()] {
        WaitForDeadline(clock, 30);
        released.wait();
    });
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    EXPECT_FALSE(clock.AdvanceTo(40, 50ms));
    EXPECT_EQ(clock.NowNs(), 30) << "stays where the thread was woken";
    release.set_value();
    blocked.get();

    std::promise<void> again;
    auto jumper = std::async(std::launch::async, [&, released = again.get_future()] {
        const bool done = WaitForDeadline(clock, 50);
        released.wait();
        return done;
    });
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    clock.JumpTo(60);
    EXPECT_EQ(clock.NowNs(), 60);
    again.set_value();
    EXPECT_FALSE(jumper.get()) << "ended by its deadline";
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

TEST(BackgroundTaskTest, AbandonedWorkFinishesOnItsOwn) {
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    std::promise<void> release;
    {
        platform::BackgroundTask task([finished, released = release.get_future().share()] {
            released.wait();
            finished->set_value();
        });
        EXPECT_FALSE(task.WaitFor(50ms));
    }  // abandoned here
    release.set_value();
    EXPECT_EQ(done.wait_for(1s), std::future_status::ready);
}

// The threads left behind outlive the test's frame, so everything they touch is shared with them.
TEST(BackgroundTaskTest, JoinWithTimeoutJoinsQuickThreadsAndLeavesSlowOnes) {
    EXPECT_TRUE(platform::JoinWithTimeout(std::thread([] {}), 200ms));
    EXPECT_TRUE(platform::JoinWithTimeout(std::thread(), 200ms));

    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::JoinWithTimeout(std::thread([released] { released.wait(); }), 100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    release->set_value();

    // A thread asked to join itself (its owner released on it) is detached, not deadlocked.
    struct SelfJoin {
        std::thread thread;
        std::promise<bool> joined;
        std::promise<void> started;
    };
    auto state = std::make_shared<SelfJoin>();
    std::future<bool> joined = state->joined.get_future();
    std::shared_future<void> started = state->started.get_future().share();
    state->thread = std::thread([state, started] {
        started.wait();
        state->joined.set_value(platform::JoinWithTimeout(std::move(state->thread), 100ms));
    });
    state->started.set_value();
    EXPECT_TRUE(joined.get());
}

TEST(EnvironmentTest, ValuesThatDoNotFitTheBufferAreAbsent) {
    setenv("TAMRO_TEST_SWITCH", "abcd", 1);
    EXPECT_EQ(platform::ReadEnvironment("TAMRO_TEST_SWITCH", 5), "abcd");
    EXPECT_EQ(platform::ReadEnvironment("TAMRO_TEST_SWITCH", 4), std::nullopt);
    unsetenv("TAMRO_TEST_SWITCH");
    EXPECT_EQ(platform::ReadEnvironment("TAMRO_TEST_SWITCH", 5), std::nullopt);

    setenv("XDG_DATA_HOME", "relative/path", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(platform::LocalAppDataFolder(), "/home/someone/.local/share");
    setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(platform::LocalAppDataFolder(), "/data");
}

}  // namespace
}  // namespace tamro::test
