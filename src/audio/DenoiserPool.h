#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/audio/Denoiser.h"

namespace tamro {

// Keeps at most one idle denoiser state for the next user: creating one is costly and a fresh
// state starts without a noise estimate.
// Threading: Acquire and Release may come from any thread.
class DenoiserPool {
  public:
    using Creator = std::function<std::unique_ptr<platform::Denoiser>()>;

    struct Lease {
        std::unique_ptr<platform::Denoiser> state;  // null when none could be created
        bool warm = false;                          // came from the pool
    };

    explicit DenoiserPool(Creator creator) : m_creator(std::move(creator)) {}
    DenoiserPool(const DenoiserPool&) = delete;
    DenoiserPool& operator=(const DenoiserPool&) = delete;

    // The process-wide pool over the platform's denoiser. Never destroyed, so processors that
    // go away during static destruction can still hand their state back.
    static DenoiserPool& Shared();

    // The parked state when there is one, else a new one.
    Lease Acquire() noexcept;
    // Parks `state` when the slot is empty, else destroys it.
    void Release(std::unique_ptr<platform::Denoiser> state) noexcept;

  private:
    Creator m_creator;
    std::mutex m_mutex;
    std::unique_ptr<platform::Denoiser> m_parked;
};

}  // namespace tamro
