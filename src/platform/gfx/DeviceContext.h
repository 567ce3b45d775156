#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/gfx/GfxTypes.h"
#include "platform/gfx/Kernel.h"
#include "platform/gfx/WorkerPool.h"

namespace tamro::gfx {

// Raised by an operation that faults inside the device (injected in tests).
class DeviceFault : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The device's immediate context. Unlike the platform's, it is safe to use from several threads:
// every operation runs under one lock, so operations are atomic with respect to each other.
// Threading: any thread; the worker pool's threads are owned here and run only inside Dispatch.
class DeviceContext {
  public:
    // Same size and format, else kInvalidArg and nothing copied.
    int32_t CopyResource(Texture* destination, Texture* source);
    // `box` null copies the whole source. A box outside the source or a destination too small is
    // kInvalidArg and copies nothing (the platform silently drops such a copy).
    int32_t CopySubresourceRegion(Texture* destination, uint32_t dstX, uint32_t dstY,
                                  Texture* source, const Box* box);
    int32_t UpdateSubresource(Texture* destination, const Box* box, const void* data,
                              uint32_t rowPitch);
    // Staging textures with matching CPU access only.
    int32_t Map(Texture* texture, MapType type, MappedSubresource* mapped);
    void Unmap(Texture* texture);
    // Render targets only; colour is RGBA in 0..1 written in the texture's own channel order.
    int32_t ClearRenderTarget(Texture* texture, const float rgba[4]);
    // A kernel that splits into rows runs in bands over the worker pool and this thread.
    int32_t Dispatch(const Kernel& kernel, const KernelArgs& args);
    // Threads a dispatch may use, the caller's included (default: one per core, up to four).
    void SetParallelism(unsigned threads);

    // Set by the owning device.
    void SetFaults(bool failMap, bool faultWork);
    bool MapFails() const { return m_failMap.load(); }

  private:
    void CheckWorkFault() const;
    // With the lock held: the threads a dispatch may use, and the pool, started on first use.
    unsigned Threads();
    WorkerPool& Pool();

    std::mutex m_mutex;
    std::unique_ptr<WorkerPool> m_pool;  // under the lock
    unsigned m_parallelism = 0;          // under the lock; 0 = one per core, not yet counted
    std::atomic<bool> m_failMap{false};
    std::atomic<bool> m_faultWork{false};
};

}  // namespace tamro::gfx
