#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "platform/system/BackgroundTask.h"
#include "platform/system/Environment.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;

TEST(BackgroundTaskTest, AbandonedWorkFinishesOnItsOwn) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::promise<void> release;
    auto released = release.get_future().share();
    {
        platform::BackgroundTask task([finished, released] {
            released.wait();
            finished->store(true);
        });
        EXPECT_FALSE(task.WaitFor(50ms));
    }  // abandoned here
    release.set_value();
    for (int i = 0; i < 200 && !finished->load(); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(finished->load());
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
