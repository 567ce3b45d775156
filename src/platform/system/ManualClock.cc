#include "platform/system/ManualClock.h"

#include <algorithm>

namespace tamro::platform {

namespace {

// The waiter's lock and the clock's as one, so that a waiter's wait releases both together: the
// clock cannot move and notify between the waiter's test of the time and the start of its wait.
class BothLocks {
  public:
    BothLocks(std::unique_lock<std::mutex>& outer, std::unique_lock<std::mutex>& inner)
        : m_outer(outer), m_inner(inner) {}
    void lock() {
        m_outer.lock();
        m_inner.lock();
    }
    void unlock() {
        m_inner.unlock();
        m_outer.unlock();
    }

  private:
    std::unique_lock<std::mutex>& m_outer;
    std::unique_lock<std::mutex>& m_inner;
};

// Takes an ending thread off the clocks it waited on, so that a clock woken thread that ends
// instead of waiting again does not hold the clock up.
class ThreadEnd {
  public:
    void Watch(const std::shared_ptr<ManualClock::State>& state) {
        const bool known = std::any_of(m_states.begin(), m_states.end(), [&](const auto& watched) {
            return watched.lock() == state;
        });
        if (!known)
            m_states.push_back(state);
    }
    ~ThreadEnd() {
        for (const auto& watched : m_states) {
            if (const auto state = watched.lock()) {
                std::lock_guard lock(state->mutex);
                std::erase(state->running, std::this_thread::get_id());
                state->waitersChanged.notify_all();
            }
        }
    }

  private:
    std::vector<std::weak_ptr<ManualClock::State>> m_states;
};

thread_local ThreadEnd t_threadEnd;

}  // namespace

// A waiter on the list for as long as it waits; the state's mutex is held at both ends.
class ManualClock::Registration {
  public:
    Registration(State& state, const Waiter& waiter) : m_state(state), m_waiter(waiter) {
        std::erase(m_state.running, waiter.thread);
        m_state.waiters.push_back(&m_waiter);
        m_state.waitersChanged.notify_all();
    }
    ~Registration() {
        std::erase(m_state.waiters, &m_waiter);
        m_state.waitersChanged.notify_all();
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

  private:
    State& m_state;
    const Waiter& m_waiter;
};

ManualClock::ManualClock(int64_t startNs) {
    m_state->nowNs = startNs;
}

bool ManualClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                            int64_t deadlineNs, const std::function<bool()>& done) {
    t_threadEnd.Watch(m_state);
    std::unique_lock clockLock(m_state->mutex);
    // A thread that goes on without blocking still counts as running.
    if (done() || NowNs() >= deadlineNs)
        return done();
    const Waiter waiter{&wake, deadlineNs};
    const Registration registration(*m_state, waiter);
    BothLocks both(lock, clockLock);
    while (!done() && NowNs() < deadlineNs)
        wake.wait(both);
    return done();
}

bool ManualClock::AdvanceTo(int64_t targetNs, std::chrono::milliseconds settleLimit) {
    State& state = *m_state;
    std::unique_lock lock(state.mutex);
    for (;;) {
        if (!state.waitersChanged.wait_for(lock, settleLimit,
                                           [&] { return state.running.empty(); })) {
            state.running.clear();  // given up on, so that later moves do not wait for them
            return false;
        }
        const int64_t nextNs = NextDeadlineNs();
        if (nextNs > targetNs)
            break;
        state.nowNs = std::max(NowNs(), nextNs);
        WakeDue(true);
    }
    state.nowNs = std::max(NowNs(), targetNs);
    return true;
}

void ManualClock::JumpTo(int64_t targetNs) {
    std::lock_guard lock(m_state->mutex);
    m_state->nowNs = std::max(NowNs(), targetNs);
    WakeDue(false);
}

bool ManualClock::AwaitTimedWaiters(size_t count, std::chrono::milliseconds limit) {
    State& state = *m_state;
    std::unique_lock lock(state.mutex);
    return state.waitersChanged.wait_for(lock, limit, [&] {
        const auto ahead = std::count_if(state.waiters.begin(), state.waiters.end(), [&](auto* w) {
            return w->deadlineNs != kNever && w->deadlineNs > NowNs();
        });
        return static_cast<size_t>(ahead) >= count;
    });
}

void ManualClock::WakeDue(bool track) {
    for (const Waiter* waiter : m_state->waiters) {
        if (waiter->deadlineNs > NowNs())
            continue;
        if (track)
            m_state->running.push_back(waiter->thread);
        waiter->wake->notify_all();
    }
}

int64_t ManualClock::NextDeadlineNs() const {
    int64_t next = kNever;
    for (const Waiter* waiter : m_state->waiters)
        next = std::min(next, waiter->deadlineNs);
    return next;
}

}  // namespace tamro::platform
