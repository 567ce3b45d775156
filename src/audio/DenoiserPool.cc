#include "audio/DenoiserPool.h"

namespace tamro {

DenoiserPool& DenoiserPool::Shared() {
    static DenoiserPool* const pool =
        std::make_unique<DenoiserPool>(&platform::CreateDenoiser).release();
    return *pool;
}

DenoiserPool::Lease DenoiserPool::Acquire() noexcept {
    {
        std::lock_guard lock(m_mutex);
        if (m_parked) {
            return Lease{std::move(m_parked), true};
        }
    }
    // Created outside the lock: it takes long and needs no shared state.
    try {
        return Lease{m_creator ? m_creator() : nullptr, false};
    } catch (...) {
        return Lease{};
    }
}

void DenoiserPool::Release(std::unique_ptr<platform::Denoiser> state) noexcept {
    if (!state) {
        return;
    }
    std::unique_lock lock(m_mutex);
    if (!m_parked) {
        m_parked = std::move(state);
        return;
    }
    lock.unlock();
    state.reset();
}

}  // namespace tamro
