#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "tamro/ResultCode.h"

namespace tamro::gfx {
class Device;
}

namespace tamro::platform::media {

// Shares one graphics device with the writer's encoders. A device must be set with the token the
// manager was created with; handles opened on it are closed again by their holder.
// Threading: any thread.
class DeviceManager {
  public:
    struct Key {
      private:
        Key() = default;
        friend class DeviceManager;
    };
    DeviceManager(Key, uint32_t resetToken);

    static ResultCode Create(uint32_t* resetToken, std::shared_ptr<DeviceManager>* manager);

    // kInvalidArg for a null device or a token other than this manager's.
    ResultCode ResetDevice(gfx::Device* device, uint32_t resetToken);
    // kNotInitialized while no device is set.
    ResultCode OpenDeviceHandle(uint64_t* handle);
    ResultCode CloseDeviceHandle(uint64_t handle);

    gfx::Device* CurrentDevice() const;
    int OpenHandles() const;

  private:
    const uint32_t m_resetToken;
    mutable std::mutex m_mutex;
    gfx::Device* m_device = nullptr;
    uint64_t m_nextHandle = 1;
    int m_openHandles = 0;
};

}  // namespace tamro::platform::media
