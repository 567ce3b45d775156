#pragma once

#include <cstdint>
#include <memory>

#include "platform/gfx/Device.h"
#include "platform/media/DeviceManager.h"
#include "platform/media/EncoderList.h"

namespace tamro {

// Wraps the encoder's graphics device in a device manager the sink writer's encoder can work on,
// and finds out whether the machine has a hardware H.264 encoder that takes such a device.
// Threading: created, used and destroyed on the recorder's control thread.
class EncoderDevice {
  public:
    EncoderDevice() = default;
    ~EncoderDevice();
    EncoderDevice(const EncoderDevice&) = delete;
    EncoderDevice& operator=(const EncoderDevice&) = delete;

    // False only for a null device or a device-manager failure; a machine without a suitable
    // hardware encoder gives true with HasHardwareEncoder() false.
    bool Initialize(gfx::Device* device, const platform::media::EncoderList& encoders);

    const std::shared_ptr<platform::media::DeviceManager>& DeviceManager() const {
        return m_deviceManager;
    }
    bool HasHardwareEncoder() const { return m_hasHardwareEncoder; }
    bool IsReady() const { return m_ready; }

    // True when a hardware H.264 encoder reports that it takes a GPU device; false when the
    // enumeration fails or finds none.
    static bool MachineHasHardwareEncoder(const platform::media::EncoderList& encoders,
                                          bool* enumerated = nullptr);

  private:
    void Release();

    std::shared_ptr<platform::media::DeviceManager> m_deviceManager;
    uint32_t m_resetToken = 0;
    gfx::Device* m_device = nullptr;
    bool m_initialized = false;
    bool m_hasHardwareEncoder = false;
    bool m_ready = false;
};

}  // namespace tamro
