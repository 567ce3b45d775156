#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/audio/AudioEndpoint.h"
#include "platform/audio/PulseConnection.h"

namespace tamro::platform {

// Devices of a PulseAudio server: the default output's loopback is the monitor source of the
// default sink; microphones are sources by name; both capture roles map onto the server's
// default source, and the multimedia role then onto the first real source.
// Threading: one control thread; see AudioDevices.
class PulseAudioDevices final : public AudioDevices {
  public:
    // The server named by the usual client settings ($PULSE_SERVER and so on). Fails with
    // kAudioServiceNotRunning, without waiting long, when none answers.
    static uint32_t Connect(std::unique_ptr<AudioDevices>* devices);

    explicit PulseAudioDevices(std::shared_ptr<PulseConnection> connection);

    uint32_t GetDefaultRenderDevice(AudioDeviceRef* device) override;
    uint32_t GetCaptureDevice(const std::string& id, AudioDeviceRef* device) override;
    uint32_t GetDefaultCaptureDevice(CaptureRole role, AudioDeviceRef* device) override;
    uint32_t Activate(const AudioDeviceRef& device,
                      std::unique_ptr<AudioEndpoint>* endpoint) override;
    uint32_t ActivateProcessLoopback(uint32_t pid, std::chrono::milliseconds limit,
                                     std::unique_ptr<AudioEndpoint>* endpoint) override;
    uint32_t ListDevices(AudioDeviceList* list) override;

  private:
    struct ServerDefaults {
        std::string sink;
        std::string source;
        uint32_t sampleRate = 48000;
    };
    struct SourceSummary {
        uint32_t sampleRate = 0;
        uint8_t channels = 0;
        bool isMonitor = false;
    };

    // With the connection lock held.
    std::optional<ServerDefaults> QueryServer();
    std::optional<SourceSummary> QuerySource(const std::string& name);
    std::optional<std::string> QueryFirstSource();

    std::shared_ptr<PulseConnection> m_connection;
};

}  // namespace tamro::platform
