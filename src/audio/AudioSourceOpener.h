#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/AudioDevicesFactory.h"
#include "platform/audio/AudioEndpoint.h"
#include "platform/audio/WakeEvent.h"

namespace tamro {

// Opens the streams of the audio capture's sources on the audio server: the system output's
// loopback, a process tree's loopback and a microphone chosen by id or role, each initialised,
// wired to its wake event and with its format read. Every failure is one log line and nothing
// opened. The server connection is made on first use and kept for the streams' lifetime.
// Threading: the capture's set-up thread only.
class AudioSourceOpener {
  public:
    static constexpr std::chrono::milliseconds kProcessActivationLimit{1000};
    static constexpr std::chrono::milliseconds kBufferDuration{100};

    struct Source {
        std::unique_ptr<platform::AudioEndpoint> endpoint;
        platform::AudioFormat format;
        // A microphone asked for by name and found: its id, to open that one again; empty when
        // the default one was opened.
        std::string namedDevice;
    };

    explicit AudioSourceOpener(platform::AudioDevicesConnector connect)
        : m_connect(std::move(connect)) {}

    std::optional<Source> OpenLoopback(const std::shared_ptr<platform::WakeEvent>& event);
    std::optional<Source> OpenProcessLoopback(uint32_t pid,
                                              const std::shared_ptr<platform::WakeEvent>& event);
    // `rawStream` asks the endpoint to bypass its own processing, where it has any. A named
    // microphone that is not found falls back to the default one unless `exactly`.
    std::optional<Source> OpenMicrophone(const std::string& deviceId, bool rawStream,
                                         const std::shared_ptr<platform::WakeEvent>& event,
                                         bool exactly = false);

    // The endpoint id inside a device-interface path ("...MMDEVAPI#<id>#..."), else `id` itself.
    static std::string ExtractEndpointId(const std::string& id);

  private:
    // Log lines of one kind of stream's set-up steps.
    struct StreamMessages {
        const char* mixFormat;
        const char* initialize;
        const char* setEvent;
    };

    bool ConnectDevices();
    std::optional<Source> OpenStream(std::unique_ptr<platform::AudioEndpoint> endpoint,
                                     const StreamMessages& messages,
                                     const std::shared_ptr<platform::WakeEvent>& event);
    uint32_t ChooseMicrophone(const std::string& deviceId, bool exactly,
                              platform::AudioDeviceRef* device, bool* named);
    // The communications role's default, else the multimedia one's.
    uint32_t DefaultMicrophone(platform::AudioDeviceRef* device, const char* fallbackNote);
    static void ApplyMicStreamMode(platform::AudioEndpoint& endpoint, bool rawStream);

    const platform::AudioDevicesConnector m_connect;
    std::unique_ptr<platform::AudioDevices> m_devices;
};

}  // namespace tamro
