#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>

#include "tamro/AsyncOperation.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;
using BoolOperation = AsyncOperation<bool>;

// A handler set after completion runs at once, on the caller; a second one is refused.
void ExpectHandlerRunsAtOnce(BoolOperation& done, AsyncStatus status) {
    int calls = 0;
    AsyncStatus seen = AsyncStatus::Started;
    done.Completed([&](BoolOperation&, AsyncStatus s) {
        calls++;
        seen = s;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, status);
    EXPECT_THROW(done.Completed([&](BoolOperation&, AsyncStatus) { calls++; }), std::logic_error);
    EXPECT_EQ(calls, 1);
}

TEST(AsyncOperationTest, CompletesWithValueOrErrorAndThenCallsItsHandlerAtOnce) {
    auto done = BoolOperation::Run([] { return true; });
    EXPECT_TRUE(done->Get());
    ExpectHandlerRunsAtOnce(*done, AsyncStatus::Completed);
    auto ready = BoolOperation::FromResult(false);
    EXPECT_EQ(ready->Status(), AsyncStatus::Completed);
    EXPECT_FALSE(ready->Get());

    auto failing = BoolOperation::Run([]() -> bool { throw std::invalid_argument("no device"); });
    EXPECT_TRUE(failing->WaitFor(5s));
    EXPECT_EQ(failing->Status(), AsyncStatus::Error);
    EXPECT_THROW(failing->Get(), std::invalid_argument);
    EXPECT_THROW(failing->Get(), std::invalid_argument) << "every Get rethrows";
    ExpectHandlerRunsAtOnce(*failing, AsyncStatus::Error);
}

// The work waits for the test, so the handler is known to be set while the operation runs and
// the caller's reference is known to be gone before it completes.
TEST(AsyncOperationTest, PendingOperationTimesOutThenCompletesOnceOnItsThread) {
    std::promise<void> open;
    std::promise<std::thread::id> ranOn;
    std::weak_ptr<BoolOperation> watch;
    {
        auto pending = BoolOperation::Run([opened = open.get_future().share()] {
            opened.wait();
            return true;
        });
        EXPECT_FALSE(pending->WaitFor(20ms));
        EXPECT_EQ(pending->Status(), AsyncStatus::Started);
        pending->Completed([&](BoolOperation& operation, AsyncStatus status) {
            EXPECT_EQ(status, AsyncStatus::Completed);
            EXPECT_TRUE(operation.Get()) << "the handler runs outside the operation's lock";
            ranOn.set_value(std::this_thread::get_id());  // a second call would throw here
        });
        EXPECT_THROW(pending->Completed([](BoolOperation&, AsyncStatus) {}), std::logic_error);
        watch = pending;
    }
    EXPECT_FALSE(watch.expired()) << "the work's thread keeps the operation";
    open.set_value();
    auto thread = ranOn.get_future();
    ASSERT_EQ(thread.wait_for(5s), std::future_status::ready);
    EXPECT_NE(thread.get(), std::this_thread::get_id());
}

}  // namespace
}  // namespace tamro::test
