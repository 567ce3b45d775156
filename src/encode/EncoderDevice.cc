#include "encode/EncoderDevice.h"

#include <vector>

#include "diag/Log.h"

namespace tamro {

namespace media = platform::media;

EncoderDevice::~EncoderDevice() {
    Release();
}

void EncoderDevice::Release() {
    // One open-close round tells the manager its device is no longer in use.
    if (m_deviceManager && m_resetToken != 0) {
        uint64_t handle = 0;
        if (Succeeded(m_deviceManager->OpenDeviceHandle(&handle)))
            m_deviceManager->CloseDeviceHandle(handle);
    }
    m_deviceManager.reset();
    m_device = nullptr;
    m_resetToken = 0;
    m_initialized = m_hasHardwareEncoder = m_ready = false;
}

bool EncoderDevice::MachineHasHardwareEncoder(const media::EncoderList& encoders,
                                              bool* enumerated) {
    std::vector<std::unique_ptr<media::EncoderActivation>> found;
    const bool listed =
        Succeeded(encoders.Enumerate(media::kEnumHardware | media::kEnumSortAndFilter, &found)) &&
        !found.empty();
    if (enumerated)
        *enumerated = listed;
    bool accepts = false;
    for (const auto& encoder : found) {
        accepts = accepts || encoder->AcceptsGpuDevice() != 0;
    }
    return accepts;
}

bool EncoderDevice::Initialize(gfx::Device* device, const media::EncoderList& encoders) {
    if (!device) {
        LogLine("[D3D11EncoderDevice] Initialize failed: null device\n");
        return false;
    }
    m_device = device;
    m_deviceManager.reset();
    const ResultCode created = media::DeviceManager::Create(&m_resetToken, &m_deviceManager);
    if (Failed(created)) {
        LogLine("[D3D11EncoderDevice] Failed to create DXGI device manager: 0x%08X\n",
                static_cast<uint32_t>(created));
        return false;
    }
    const ResultCode reset = m_deviceManager->ResetDevice(device, m_resetToken);
    if (Failed(reset)) {
        LogLine("[D3D11EncoderDevice] Failed to reset device manager: 0x%08X\n",
                static_cast<uint32_t>(reset));
        m_deviceManager.reset();
        return false;
    }
    bool enumerated = false;
    m_hasHardwareEncoder = MachineHasHardwareEncoder(encoders, &enumerated);
    if (!enumerated)
        LogLine("[D3D11EncoderDevice] No hardware H.264 encoders found\n");
    m_initialized = m_ready = true;
    return true;
}

}  // namespace tamro
