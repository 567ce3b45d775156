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

class EventDisconnectTest : public testing::TestWithParam<ResultCode> {};

TEST_P(EventDisconnectTest, DisconnectedHandlerIsRemovedAndTheOthersStillRun) {
    IntEvent event;
    Source source;
    int before = 0, gone = 0, after = 0;
    event.Add([&](Source&, const int&) { before++; });
    event.Add([&, code = GetParam()](Source&, const int&) {
        gone++;
        throw DisconnectedError(code);
    });
    event.Add([&](Source&, const int&) { after++; });
    EXPECT_NO_THROW(event.Raise(source, 0));
    EXPECT_NO_THROW(event.Raise(source, 0));
    EXPECT_EQ(gone, 1);
    EXPECT_EQ(before + after, 4);
}

INSTANTIATE_TEST_SUITE_P(EventCodes, EventDisconnectTest,
                         testing::Values(kDisconnected, kServerUnavailable));

TEST(EventTest, OtherFailuresReachTheRaiserAndKeepTheHandler) {
    Source source;
    for (const bool disconnectedType : {true, false}) {
        IntEvent event;
        int thrower = 0, later = 0;
        event.Add([&](Source&, const int&) {
            thrower++;
            if (disconnectedType) {
                throw DisconnectedError(kFail);
            }
            throw std::runtime_error("boom");
        });
        event.Add([&](Source&, const int&) { later++; });
        EXPECT_THROW(event.Raise(source, 0), std::runtime_error);
        EXPECT_THROW(event.Raise(source, 0), std::runtime_error);
        EXPECT_EQ(thrower, 2);
        EXPECT_EQ(later, 0) << "the raise ends at the failing handler";
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
