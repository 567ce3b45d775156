#include "platform/system/BackgroundTask.h"

#include "diag/Log.h"

namespace tamro::platform {

BackgroundTask::~BackgroundTask() {
    if (!m_thread.joinable()) {
        return;
    }
    bool done;
    {
        std::lock_guard lock(m_state->mutex);
        done = m_state->done;
    }
    if (done) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
}

bool BackgroundTask::WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_state->mutex);
    return m_state->doneChanged.wait_for(lock, limit, [this] { return m_state->done; });
}

void BackgroundTask::Wait() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool JoinWithTimeout(std::thread thread, std::chrono::milliseconds limit) {
    if (!thread.joinable()) {
        return true;
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
        return true;
    }
    BackgroundTask join([thread = std::move(thread)]() mutable { thread.join(); });
    return join.WaitFor(limit);
}

bool JoinOrAbandon(std::thread thread, std::chrono::milliseconds limit, const char* warning) {
    if (JoinWithTimeout(std::move(thread), limit)) {
        return true;
    }
    LogLine("%s\n", warning);
    return false;
}

bool WaitOrAbandon(BackgroundTask& task, std::chrono::milliseconds limit, const char* warning) {
    if (task.WaitFor(limit)) {
        return true;
    }
    LogLine("%s\n", warning);
    return false;
}

}  // namespace tamro::platform
