#include "platform/media/DeviceManager.h"

#include <chrono>

#include "platform/media/MediaTypes.h"

namespace tamro::platform::media {

DeviceManager::DeviceManager(Key, uint32_t resetToken) : m_resetToken(resetToken) {}

ResultCode DeviceManager::Create(uint32_t* resetToken, std::shared_ptr<DeviceManager>* manager) {
    if (!resetToken || !manager)
        return kPointer;
    // Any non-zero value the caller did not choose serves.
    *resetToken =
        static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()) | 1;
    *manager = std::make_shared<DeviceManager>(Key(), *resetToken);
    return kOk;
}

ResultCode DeviceManager::ResetDevice(gfx::Device* device, uint32_t resetToken) {
    if (!device || resetToken != m_resetToken)
        return kInvalidArg;
    std::lock_guard lock(m_mutex);
    m_device = device;
    return kOk;
}

ResultCode DeviceManager::OpenDeviceHandle(uint64_t* handle) {
    if (!handle)
        return kPointer;
    std::lock_guard lock(m_mutex);
    if (!m_device)
        return kNotInitialized;
    *handle = m_nextHandle++;
    ++m_openHandles;
    return kOk;
}

ResultCode DeviceManager::CloseDeviceHandle(uint64_t handle) {
    std::lock_guard lock(m_mutex);
    if (handle == 0 || handle >= m_nextHandle || m_openHandles == 0)
        return kInvalidArg;
    --m_openHandles;
    return kOk;
}

gfx::Device* DeviceManager::CurrentDevice() const {
    std::lock_guard lock(m_mutex);
    return m_device;
}

int DeviceManager::OpenHandles() const {
    std::lock_guard lock(m_mutex);
    return m_openHandles;
}

}  // namespace tamro::platform::media
