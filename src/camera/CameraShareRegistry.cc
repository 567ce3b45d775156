#include "camera/CameraShareRegistry.h"

namespace tamro {

CameraShareRegistry& CameraShareRegistry::Instance() {
    static CameraShareRegistry registry;
    return registry;
}

void CameraShareRegistry::Add(uint64_t handle) {
    std::lock_guard lock(m_mutex);
    m_entries.try_emplace(handle);
}

void CameraShareRegistry::Remove(uint64_t handle) {
    std::lock_guard lock(m_mutex);
    m_entries.erase(handle);
}

std::optional<CameraShareRegistry::Entry> CameraShareRegistry::Find(uint64_t handle) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(handle);
    if (it == m_entries.end())
        return std::nullopt;
    return it->second;
}

void CameraShareRegistry::SetLastTimestamp(uint64_t handle, int64_t timestamp) {
    std::lock_guard lock(m_mutex);
    if (const auto it = m_entries.find(handle); it != m_entries.end())
        it->second.lastTimestamp = timestamp;
}

void CameraShareRegistry::AddEffectTime(uint64_t handle, int64_t duration) {
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(handle);
    if (it == m_entries.end())
        return;
    int64_t& smoothed = it->second.effectTime;
    smoothed = smoothed == 0 ? duration : (smoothed * 7 + duration) / 8;
}

void CameraShareRegistry::ClearEffectTime(uint64_t handle) {
    std::lock_guard lock(m_mutex);
    if (const auto it = m_entries.find(handle); it != m_entries.end())
        it->second.effectTime = 0;
}

}  // namespace tamro
