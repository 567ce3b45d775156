#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace tamro::platform {

// A piece of work on its own thread that the owner waits for with or without a limit, or abandons.
// An abandoned task runs to its end on a detached thread and touches only what it captured, so the
// work must own (or share) everything it uses.
// Threading: one owner thread calls WaitFor/Wait and destroys the object.
class BackgroundTask {
  public:
    template <typename Work>
    explicit BackgroundTask(Work work) : m_state(std::make_shared<State>()) {
        m_thread = std::thread([state = m_state, work = std::move(work)]() mutable {
            work();
            std::lock_guard lock(state->mutex);
            state->done = true;
            state->doneChanged.notify_all();
        });
    }

    // Abandons the work if it has not finished.
    ~BackgroundTask();

    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    // True when the work finished within the limit.
    bool WaitFor(std::chrono::milliseconds limit);
    void Wait();

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable doneChanged;
        bool done = false;
    };

    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

// Joins `thread` for at most `limit`; on time-out the join is left to a detached waiter. A thread
// that is the caller itself is detached. True when the thread was joined in time.
bool JoinWithTimeout(std::thread thread, std::chrono::milliseconds limit);

// The bounded waits of a stop: join `thread` (or wait for `task`) at most `limit`; past it, log
// `warning` as one line and leave the thread to finish on its own. True when it ended in time.
bool JoinOrAbandon(std::thread thread, std::chrono::milliseconds limit, const char* warning);
bool WaitOrAbandon(BackgroundTask& task, std::chrono::milliseconds limit, const char* warning);

}  // namespace tamro::platform
