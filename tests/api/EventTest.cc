#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tamro/Event.h"

namespace tamro::test {
namespace {

struct Source {};
using IntEvent = Event<Source, int>;

TEST(EventTest, TokensAddAndRemoveHandlers) {
    IntEvent event;
    Source source;
    std::vector<int> calls;
    const EventToken first = event.Add([&](Source&, const int& v) { calls.push_back(v); });
    const EventToken second = event.Add([&](Source&, const int& v) { calls.push_back(v * 10); });
    EXPECT_NE(first, EventToken{});
    EXPECT_NE(first, second);
    EXPECT_EQ(event.Add(nullptr), EventToken{}) << "an empty handler is not registered";
    event.Raise(source, 1);
    event.Remove(first);
    event.Remove(first);
    event.Remove(EventToken{second.value + 100});
    event.Raise(source, 2);
    event.Remove(second);
    EXPECT_FALSE(event.HasHandlers());
    event.Raise(source, 3);
    EXPECT_EQ(calls, (std::vector<int>{1, 10, 20}));
}

TEST(EventTest, HandlersMayChangeAndRaiseTheEventWhileItIsRaised) {
    IntEvent event;
    Source source;
    int added = 0;
    int selfRemoving = 0;
    std::vector<int> depths;
    EventToken selfToken;
    event.Add([&](Source&, const int&) { event.Add([&](Source&, const int&) { added++; }); });
    selfToken = event.Add([&](Source&, const int&) {
        selfRemoving++;
        event.Remove(selfToken);
    });
    event.Add([&](Source& sender, const int& depth) {
        depths.push_back(depth);
        if (depth == 0) {
            event.Raise(sender, 1);
        }
    });
    event.Raise(source, 0);
    EXPECT_EQ(added, 1) << "only the nested raise sees the handler added before it";
    EXPECT_EQ(depths, (std::vector<int>{0, 1}));
    event.Raise(source, 5);
    EXPECT_EQ(added, 3);
    EXPECT_EQ(selfRemoving, 1);
}

// A handler that says it is disconnected is dropped and the raise goes on; any other failure
// reaches the raiser, ends the raise there, and keeps the handler.
TEST(EventTest, DisconnectedHandlersAreDroppedAndOtherFailuresReachTheRaiser) {
    Source source;
    // kOk stands for an exception of another type.
    for (const ResultCode code : {kDisconnected, kServerUnavailable, kFail, kOk}) {
        SCOPED_TRACE(static_cast<uint32_t>(code));
        const bool disconnected = code == kDisconnected || code == kServerUnavailable;
        IntEvent event;
        int before = 0, thrower = 0, after = 0;
        event.Add([&](Source&, const int&) { before++; });
        event.Add([&](Source&, const int&) {
            thrower++;
            if (code == kOk) {
                throw std::runtime_error("boom");
            }
            throw DisconnectedError(code);
        });
        event.Add([&](Source&, const int&) { after++; });
        for (int raise = 0; raise < 2; ++raise) {
            if (disconnected) {
                EXPECT_NO_THROW(event.Raise(source, 0));
            } else {
                EXPECT_THROW(event.Raise(source, 0), std::runtime_error);
            }
        }
        EXPECT_EQ(before, 2);
        EXPECT_EQ(thrower, disconnected ? 1 : 2);
        EXPECT_EQ(after, disconnected ? 2 : 0);
    }
}

TEST(EventTest, ConcurrentRaiseAddAndRemoveStaySound) {
    constexpr int kThreads = 3;
    constexpr int kRounds = 500;
    IntEvent event;
    Source source;
    std::atomic<bool> done{false};
    std::vector<std::thread> raisers;
    for (int t = 0; t < kThreads; ++t) {
        raisers.emplace_back([&] {
            while (!done) {
                event.Raise(source, 1);
            }
        });
    }
    std::vector<std::vector<EventToken>> tokens(kThreads);
    std::vector<std::thread> subscribers;
    for (int t = 0; t < kThreads; ++t) {
        subscribers.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                tokens[t].push_back(event.Add([](Source&, const int&) {}));
                event.Remove(tokens[t].back());
                // Dropped from inside some raise instead.
                event.Add([](Source&, const int&) { throw DisconnectedError(); });
            }
        });
    }
    for (auto& thread : subscribers) {
        thread.join();
    }
    event.Raise(source, 1);
    done = true;
    for (auto& thread : raisers) {
        thread.join();
    }
    std::set<EventToken> unique;
    for (const auto& list : tokens) {
        unique.insert(list.begin(), list.end());
    }
    EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kRounds));
    EXPECT_FALSE(event.HasHandlers());
}

}  // namespace
}  // namespace tamro::test
