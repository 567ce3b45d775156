#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/AudioResult.h"
#include "platform/audio/WakeEvent.h"

namespace tamro::platform {

// Sample layout of an endpoint's packets: interleaved, either 32-bit float or 16-bit signed.
struct AudioFormat {
    uint32_t sampleRate = 48000;
    uint16_t channels = 2;
    uint16_t bitsPerSample = 32;
    bool isFloat = true;

    uint32_t BytesPerFrame() const noexcept { return channels * (bitsPerSample / 8u); }
};

enum AudioPacketFlags : uint32_t {
    kPacketDiscontinuity = 1,  // frames were lost before this packet
    kPacketSilent = 2,         // treat the packet as silence whatever `data` holds
};

struct AudioPacket {
    const uint8_t* data = nullptr;  // null for a silent packet; valid until ReleaseBuffer
    uint32_t frames = 0;
    uint32_t flags = 0;
    uint64_t devicePosition = 0;  // frames the stream had delivered before this packet
    uint64_t clockPosition = 0;   // steady clock in 100-ns units at capture; 0 = unknown
};

// One capture stream: a microphone, the loopback of an output, or the loopback of a process tree.
// Set-up order: GetMixFormat, optional SetStreamMode, Initialize, SetWakeEvent; then Start/Stop and
// the packet calls. Every call returns a result code (AudioResult.h). Once its queue is empty,
// GetNextPacketSize says why nothing more will come: kAudioServiceNotRunning (the server went
// away), kAudioDeviceInvalidated (the device did), or, once, kAudioDefaultDeviceChanged.
// Threading: set-up and Start/Stop from one control thread; the packet calls from one capture
// thread; GetStreamLatency from either. The wake event is set from the backend's own thread.
class AudioEndpoint {
  public:
    virtual ~AudioEndpoint() = default;

    virtual uint32_t GetMixFormat(AudioFormat* format) = 0;
    // Unprocessed capture when `raw`, else the device's default processing. kAudioNotImplemented
    // when the endpoint has no such choice.
    virtual uint32_t SetStreamMode(bool raw) = 0;
    virtual uint32_t Initialize(std::chrono::milliseconds bufferDuration) = 0;
    virtual uint32_t SetWakeEvent(std::shared_ptr<WakeEvent> event) = 0;
    virtual uint32_t Start() = 0;
    virtual uint32_t Stop() = 0;

    // Frames in the next packet, 0 when none is ready.
    virtual uint32_t GetNextPacketSize(uint32_t* frames) = 0;
    virtual uint32_t GetBuffer(AudioPacket* packet) = 0;
    // Releases the packet GetBuffer returned; `frames` is its full size.
    virtual uint32_t ReleaseBuffer(uint32_t frames) = 0;
    virtual uint32_t GetStreamLatency(int64_t* latency100ns) = 0;
};

// Names a capture device; `id` is backend-specific.
struct AudioDeviceRef {
    std::string id;
    bool loopback = false;
    // The default output whose loopback this is: the endpoint reports when it stops being the
    // default. Empty when nothing is followed.
    std::string defaultOutput;
};

enum class CaptureRole { kCommunications, kMultimedia };

// What a server offers, for a user to choose from by id.
struct AudioDeviceInfo {
    std::string id;
    std::string description;
};
struct AudioDeviceList {
    std::vector<AudioDeviceInfo> captureDevices;  // microphones, and the outputs' loopbacks
    std::vector<AudioDeviceInfo> renderDevices;
    std::string defaultCapture;
    std::string defaultRender;
};

// The audio server as the engine sees it: device look-up and stream activation.
// Threading: calls from one control thread; endpoints it returns may outlive it.
class AudioDevices {
  public:
    virtual ~AudioDevices() = default;

    // The loopback of the default output.
    virtual uint32_t GetDefaultRenderDevice(AudioDeviceRef* device) = 0;
    virtual uint32_t GetCaptureDevice(const std::string& id, AudioDeviceRef* device) = 0;
    virtual uint32_t GetDefaultCaptureDevice(CaptureRole role, AudioDeviceRef* device) = 0;
    virtual uint32_t Activate(const AudioDeviceRef& device,
                              std::unique_ptr<AudioEndpoint>* endpoint) = 0;
    // The loopback of everything `pid` and its descendants play. kAudioTimeout when the server did
    // not answer within `limit`, kAudioNotFound when the tree plays nothing.
    virtual uint32_t ActivateProcessLoopback(uint32_t pid, std::chrono::milliseconds limit,
                                             std::unique_ptr<AudioEndpoint>* endpoint) = 0;
    virtual uint32_t ListDevices(AudioDeviceList* list) = 0;
};

}  // namespace tamro::platform
