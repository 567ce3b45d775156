#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tamro::gfx {

// Runs the parts of one job at a time on its own threads and the caller's, as a GPU runs the
// groups of a dispatch: the device's kernels split into row bands over both cores.
// Threading: Run from one thread at a time (the device context's lock serialises it); the workers
// are this object's, started in the constructor and joined in the destructor.
class WorkerPool {
  public:
    explicit WorkerPool(unsigned workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Threads a job runs on, the caller's included.
    unsigned Threads() const { return static_cast<unsigned>(m_workers.size()) + 1; }
    // Calls part(i) once for every i below `parts`, on any of the threads; returns when all are
    // done. `part` must not throw.
    void Run(unsigned parts, const std::function<void(unsigned)>& part);

  private:
    void Work();
    // Runs parts until none is left to take; with the lock held on entry and exit.
    void TakeParts(std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    const std::function<void(unsigned)>* m_part = nullptr;
    unsigned m_parts = 0;
    unsigned m_next = 0;
    unsigned m_running = 0;
    uint64_t m_job = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};

}  // namespace tamro::gfx
