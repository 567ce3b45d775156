#include "platform/gfx/KeyedMutex.h"

#include <chrono>

#include "platform/gfx/GfxTypes.h"
#include "tamro/ResultCode.h"

namespace tamro::gfx {

int32_t KeyedMutex::AcquireSync(uint64_t key, uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    auto available = [&] { return !m_owned && m_key == key; };
    if (timeoutMs == UINT32_MAX) {
        m_released.wait(lock, available);
    } else if (!m_released.wait_for(lock, std::chrono::milliseconds(timeoutMs), available)) {
        return kWaitTimeout;
    }
    m_owned = true;
    return kOk;
}

int32_t KeyedMutex::ReleaseSync(uint64_t key) {
    std::lock_guard lock(m_mutex);
    if (!m_owned)
        return kFail;
    m_owned = false;
    m_key = key;
    m_released.notify_all();
    return kOk;
}

}  // namespace tamro::gfx
