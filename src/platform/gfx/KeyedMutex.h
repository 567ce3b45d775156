#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tamro::gfx {

// Hand-over lock of a shared texture: a holder releases it with a key and only an acquire with
// that key can take it next. Starts released with key 0.
// Threading: any thread; acquires wait on the object's own lock.
class KeyedMutex {
  public:
    // kOk when taken, kWaitTimeout when not taken within `timeoutMs` (0 = test only, never wait;
    // UINT32_MAX = wait without limit).
    int32_t AcquireSync(uint64_t key, uint32_t timeoutMs);
    // kOk, or kFail when the caller does not hold it.
    int32_t ReleaseSync(uint64_t key);

  private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_owned = false;
    uint64_t m_key = 0;
};

}  // namespace tamro::gfx
