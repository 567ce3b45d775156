#include "platform/gfx/WorkerPool.h"

namespace tamro::gfx {

WorkerPool::WorkerPool(unsigned workers) {
    m_workers.reserve(workers);
    for (unsigned i = 0; i < workers; ++i)
        m_workers.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

void WorkerPool::Run(unsigned parts, const std::function<void(unsigned)>& part) {
    std::unique_lock lock(m_mutex);
    m_part = &part;
    m_parts = parts;
    m_next = 0;
    ++m_job;
    m_wake.notify_all();
    TakeParts(lock);
    m_done.wait(lock, [this] { return m_next >= m_parts && m_running == 0; });
    m_part = nullptr;
}

void WorkerPool::TakeParts(std::unique_lock<std::mutex>& lock) {
    while (m_next < m_parts) {
        const unsigned index = m_next++;
        ++m_running;
        lock.unlock();
        (*m_part)(index);
        lock.lock();
        --m_running;
    }
    if (m_running == 0)
        m_done.notify_all();
}

void WorkerPool::Work() {
    std::unique_lock lock(m_mutex);
    uint64_t seen = m_job;
    for (;;) {
        m_wake.wait(lock, [&] { return m_stopping || m_job != seen; });
        if (m_stopping)
            return;
        seen = m_job;
        TakeParts(lock);
    }
}

}  // namespace tamro::gfx
