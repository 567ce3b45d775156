#include "audio/AudioSourceOpener.h"

#include <string_view>

#include "audio/StereoConversion.h"
#include "diag/Log.h"
#include "diag/PerfLog.h"

namespace tamro {

using platform::AudioFailed;

namespace {

constexpr const char* kEndpointMarker = "MMDEVAPI#";

}  // namespace

bool AudioSourceOpener::ConnectDevices() {
    if (m_devices) {
        return true;
    }
    const uint32_t result = m_connect ? m_connect(&m_devices) : platform::kAudioFail;
    if (AudioFailed(result) || !m_devices) {
        m_devices.reset();
        LogLine("[AudioCapture] Audio server connection failed: 0x%08X\n", result);
        return false;
    }
    return true;
}

std::optional<AudioSourceOpener::Source> AudioSourceOpener::OpenStream(
    std::unique_ptr<platform::AudioEndpoint> endpoint, const StreamMessages& messages,
    const std::shared_ptr<platform::WakeEvent>& event) {
    Source source;
    if (AudioFailed(endpoint->GetMixFormat(&source.format)) || !IsReadableFormat(source.format)) {
        LogLine("%s", messages.mixFormat);
        return std::nullopt;
    }
    uint32_t result = endpoint->Initialize(kBufferDuration);
    if (AudioFailed(result)) {
        LogLine(messages.initialize, result);
        return std::nullopt;
    }
    result = endpoint->SetWakeEvent(event);
    if (AudioFailed(result)) {
        LogLine(messages.setEvent, result);
        return std::nullopt;
    }
    source.endpoint = std::move(endpoint);
    return source;
}

std::optional<AudioSourceOpener::Source> AudioSourceOpener::OpenLoopback(
    const std::shared_ptr<platform::WakeEvent>& event) {
    if (!ConnectDevices()) {
        return std::nullopt;
    }
    platform::AudioDeviceRef device;
    if (AudioFailed(m_devices->GetDefaultRenderDevice(&device))) {
        LogLine("[AudioCapture] Failed to get default render device\n");
        return std::nullopt;
    }
    std::unique_ptr<platform::AudioEndpoint> endpoint;
    if (AudioFailed(m_devices->Activate(device, &endpoint)) || !endpoint) {
        LogLine("[AudioCapture] Failed to activate loopback client\n");
        return std::nullopt;
    }
    return OpenStream(std::move(endpoint),
                      {.mixFormat = "[AudioCapture] Failed to get mix format\n",
                       .initialize = "[AudioCapture] Failed to initialize loopback: 0x%08X\n",
                       .setEvent = "[AudioCapture] Failed to set loopback event: 0x%08X\n"},
                      event);
}

std::optional<AudioSourceOpener::Source> AudioSourceOpener::OpenProcessLoopback(
    uint32_t pid, const std::shared_ptr<platform::WakeEvent>& event) {
    if (pid == 0) {
        LogLine("[AudioCapture] Invalid process ID for process loopback\n");
        return std::nullopt;
    }
    if (!ConnectDevices()) {
        return std::nullopt;
    }
    std::unique_ptr<platform::AudioEndpoint> endpoint;
    const uint32_t result =
        m_devices->ActivateProcessLoopback(pid, kProcessActivationLimit, &endpoint);
    if (result == platform::kAudioTimeout) {
        LogLine(
            "[AudioCapture] Process loopback activation timed out after %ums; falling back to "
            "system audio\n",
            static_cast<unsigned>(kProcessActivationLimit.count()));
        return std::nullopt;
    }
    if (AudioFailed(result)) {
        LogLine(
            "[AudioCapture] Process loopback activation failed: 0x%08X; falling back to system "
            "audio\n",
            result);
        return std::nullopt;
    }
    if (!endpoint) {
        LogLine("[AudioCapture] Failed to get audio client from process loopback\n");
        return std::nullopt;
    }
    return OpenStream(
        std::move(endpoint),
        {.mixFormat = "[AudioCapture] Failed to get mix format for process loopback\n",
         .initialize = "[AudioCapture] Failed to initialize process loopback client: 0x%08X\n",
         .setEvent = "[AudioCapture] Failed to set process loopback event: 0x%08X\n"},
        event);
}

uint32_t AudioSourceOpener::ChooseMicrophone(const std::string& deviceId, bool exactly,
                                             platform::AudioDeviceRef* device, bool* named) {
    *named = false;
    if (deviceId.empty()) {
        return DefaultMicrophone(device, "trying multimedia role");
    }
    uint32_t result = m_devices->GetCaptureDevice(deviceId, device);
    if (AudioFailed(result)) {
        result = m_devices->GetCaptureDevice(ExtractEndpointId(deviceId), device);
    }
    if (!AudioFailed(result) || exactly) {
        *named = !AudioFailed(result);
        return result;
    }
    LogLine("[AudioCapture] Extracted ID also failed, using default mic\n");
    return DefaultMicrophone(device, "trying multimedia");
}

uint32_t AudioSourceOpener::DefaultMicrophone(platform::AudioDeviceRef* device,
                                              const char* fallbackNote) {
    using platform::CaptureRole;
    const uint32_t result =
        m_devices->GetDefaultCaptureDevice(CaptureRole::kCommunications, device);
    if (!AudioFailed(result)) {
        return result;
    }
    LogLine("[AudioCapture] Default communications mic failed (0x%08X), %s\n", result,
            fallbackNote);
    return m_devices->GetDefaultCaptureDevice(CaptureRole::kMultimedia, device);
}

void AudioSourceOpener::ApplyMicStreamMode(platform::AudioEndpoint& endpoint, bool rawStream) {
    const uint32_t result = endpoint.SetStreamMode(rawStream);
    if (result == platform::kAudioNotImplemented) {
        return;
    }
    if (AudioFailed(result)) {
        LogLine(
            "[AudioCapture] WARNING: mic client properties not applied: 0x%08X (endpoint default "
            "mode)\n",
            result);
        return;
    }
    PerfLog::Write(rawStream ? "[PERF][AudioCfg] micStream=raw\n"
                             : "[PERF][AudioCfg] micStream=default (TAMRO_MIC_RAW=0)\n");
}

std::optional<AudioSourceOpener::Source> AudioSourceOpener::OpenMicrophone(
    const std::string& deviceId, bool rawStream, const std::shared_ptr<platform::WakeEvent>& event,
    bool exactly) {
    if (!ConnectDevices()) {
        return std::nullopt;
    }
    platform::AudioDeviceRef device;
    bool named = false;
    uint32_t result = ChooseMicrophone(deviceId, exactly, &device, &named);
    if (AudioFailed(result)) {
        LogLine("[AudioCapture] Failed to get microphone device: 0x%08X\n", result);
        return std::nullopt;
    }
    std::unique_ptr<platform::AudioEndpoint> endpoint;
    result = m_devices->Activate(device, &endpoint);
    if (AudioFailed(result) || !endpoint) {
        LogLine("[AudioCapture] Failed to activate mic IAudioClient: 0x%08X\n",
                AudioFailed(result) ? result : platform::kAudioFail);
        return std::nullopt;
    }
    ApplyMicStreamMode(*endpoint, rawStream);
    std::optional<Source> source =
        OpenStream(std::move(endpoint),
                   {.mixFormat = "[AudioCapture] Failed to get mic mix format\n",
                    .initialize = "[AudioCapture] Failed to initialize mic: 0x%08X\n",
                    .setEvent = "[AudioCapture] Failed to set mic event: 0x%08X\n"},
                   event);
    if (source && named) {
        source->namedDevice = device.id;
    }
    return source;
}

std::string AudioSourceOpener::ExtractEndpointId(const std::string& id) {
    const std::string_view marker(kEndpointMarker);
    const size_t at = id.size() >= marker.size() ? id.find(marker) : std::string::npos;
    if (at == std::string::npos) {
        return id;
    }
    const size_t begin = at + marker.size();
    const size_t end = id.find('#', begin);
    return id.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

}  // namespace tamro
