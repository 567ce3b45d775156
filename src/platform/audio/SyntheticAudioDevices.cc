#include "platform/audio/SyntheticAudioDevices.h"

#include "platform/audio/SyntheticAudioEndpoint.h"
#include "platform/system/SteadyClock.h"

namespace tamro::platform {
namespace {

constexpr const char* kRenderLoopbackId = "synthetic:render-loopback";

}  // namespace

void SyntheticGate::Open() {
    std::lock_guard lock(m_mutex);
    m_open = true;
    m_opened.notify_all();
}

void SyntheticGate::WaitOpen() {
    std::unique_lock lock(m_mutex);
    ++m_waiting;
    m_opened.wait(lock, [this] { return m_open; });
    --m_waiting;
}

bool SyntheticGate::IsWaiting() const {
    std::lock_guard lock(m_mutex);
    return m_waiting > 0;
}

SyntheticAudioDevices::SyntheticAudioDevices(std::shared_ptr<const SyntheticAudioSetup> setup)
    : m_setup(std::move(setup)) {}

uint32_t SyntheticAudioDevices::GetDefaultRenderDevice(AudioDeviceRef* device) {
    if (!m_setup->render) {
        return kAudioNotFound;
    }
    *device = AudioDeviceRef{.id = kRenderLoopbackId, .loopback = true};
    return kAudioOk;
}

uint32_t SyntheticAudioDevices::GetCaptureDevice(const std::string& id, AudioDeviceRef* device) {
    if (!m_setup->captureDevices.contains(id)) {
        return kAudioNotFound;
    }
    *device = AudioDeviceRef{.id = id, .loopback = false};
    return kAudioOk;
}

uint32_t SyntheticAudioDevices::GetDefaultCaptureDevice(CaptureRole role, AudioDeviceRef* device) {
    const std::string& id = role == CaptureRole::kCommunications ? m_setup->defaultCommunications
                                                                 : m_setup->defaultMultimedia;
    if (id.empty()) {
        return kAudioNotFound;
    }
    return GetCaptureDevice(id, device);
}

uint32_t SyntheticAudioDevices::Activate(const AudioDeviceRef& device,
                                         std::unique_ptr<AudioEndpoint>* endpoint) {
    if (device.loopback && device.id == kRenderLoopbackId && m_setup->render) {
        *endpoint = MakeEndpoint(*m_setup->render);
        return kAudioOk;
    }
    const auto found = m_setup->captureDevices.find(device.id);
    if (device.loopback || found == m_setup->captureDevices.end()) {
        return kAudioDeviceInvalidated;
    }
    *endpoint = MakeEndpoint(found->second);
    return kAudioOk;
}

uint32_t SyntheticAudioDevices::ActivateProcessLoopback(uint32_t pid, std::chrono::milliseconds,
                                                        std::unique_ptr<AudioEndpoint>* endpoint) {
    if (m_setup->processActivationTimesOut) {
        return kAudioTimeout;
    }
    const auto found = m_setup->processTrees.find(pid);
    if (found == m_setup->processTrees.end()) {
        return kAudioNotFound;
    }
    *endpoint = MakeEndpoint(found->second);
    return kAudioOk;
}

uint32_t SyntheticAudioDevices::ListDevices(AudioDeviceList* list) {
    *list = AudioDeviceList{};
    list->defaultCapture = m_setup->defaultCommunications;
    for (const auto& [id, stream] : m_setup->captureDevices) {
        list->captureDevices.push_back({id, "Synthetic microphone"});
    }
    if (m_setup->render) {
        list->renderDevices.push_back({kRenderLoopbackId, "Synthetic output"});
        list->defaultRender = kRenderLoopbackId;
    }
    return kAudioOk;
}

std::unique_ptr<AudioEndpoint> SyntheticAudioDevices::MakeEndpoint(
    const SyntheticStream& stream) const {
    std::function<int64_t()> clock = m_setup->clock;
    if (!clock) {
        clock = [] { return SteadyClockNs(); };
    }
    return std::make_unique<SyntheticAudioEndpoint>(stream, std::move(clock), m_setup->serverDown);
}

}  // namespace tamro::platform
