#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace tamro::platform::media {

// A queue between one producer and one consumer thread with a fixed capacity. Either side can
// finish it and wake the other: the producer by Close (the consumer drains what is left, then
// Pop returns false), the consumer by Abort (pushes fail from then on and waiting ones return).
// Threading: any thread; Push and Pop may block only as their arguments say.
template <typename T>
class BoundedQueue {
  public:
    enum class PushResult { kPushed, kFull, kFinished };

    explicit BoundedQueue(size_t capacity) : m_capacity(capacity) {}

    // With `wait` false a full queue refuses the item at once.
    PushResult Push(T&& item, bool wait) {
        std::unique_lock lock(m_mutex);
        if (wait) {
            m_changed.wait(lock, [&] { return m_finished || m_items.size() < m_capacity; });
        }
        if (m_finished)
            return PushResult::kFinished;
        if (m_items.size() >= m_capacity)
            return PushResult::kFull;
        m_items.push_back(std::move(item));
        m_changed.notify_all();
        return PushResult::kPushed;
    }

    // Waits for an item; false once the queue is closed and empty, or aborted.
    bool Pop(T* item) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_aborted || !m_items.empty() || m_finished; });
        if (m_aborted || m_items.empty())
            return false;
        *item = std::move(m_items.front());
        m_items.pop_front();
        m_changed.notify_all();
        return true;
    }

    // Producer side: no more items; what is queued is still delivered.
    void Close() {
        std::lock_guard lock(m_mutex);
        m_finished = true;
        m_changed.notify_all();
    }

    // Consumer side: stop now; queued items are dropped.
    void Abort() {
        std::lock_guard lock(m_mutex);
        m_finished = true;
        m_aborted = true;
        m_items.clear();
        m_changed.notify_all();
    }

  private:
    const size_t m_capacity;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<T> m_items;
    bool m_finished = false;
    bool m_aborted = false;
};

}  // namespace tamro::platform::media
