#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioEndpoint.h"

namespace tamro::platform {

// Holds a call until it is opened: a stream whose platform call never returns.
class SyntheticGate {
  public:
    void Open();
    void WaitOpen();
    bool IsWaiting() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_opened;
    bool m_open = false;
    int m_waiting = 0;
};

struct SyntheticStream {
    // kChime: a three-note chime every two seconds; kSpeech: a voiced, syllable-paced signal
    // with pauses between phrases, which a voice detector takes for speech.
    enum class Waveform { kSine, kNoise, kChime, kSpeech };

    AudioFormat format;  // float32 or int16, any rate and channel count
    Waveform waveform = Waveform::kSine;
    double frequencyHz = 440.0;
    double amplitude = 0.5;
    uint32_t noiseSeed = 1;
    // The device clock against the engine's clock: +100 delivers 100 frames per million extra.
    double skewPpm = 0.0;
    uint32_t packetFrames = 0;  // 0: 10 ms packets
    struct Gap {
        int64_t fromNs;  // relative to Start
        int64_t toNs;
    };
    std::vector<Gap> gaps;     // packets due inside a gap are lost; the next one is flagged
    uint32_t silentEvery = 0;  // every Nth packet carries the silent flag
    bool dead = false;         // every packet carries the silent flag
    bool neverStarts = false;  // Start succeeds but no packet ever comes
    int64_t latency100ns = 100'000;
    uint32_t initializeResult = kAudioOk;
    std::shared_ptr<SyntheticGate> getBufferGate;  // GetBuffer waits on it
};

// What the synthetic server offers.
struct SyntheticAudioSetup {
    std::optional<SyntheticStream> render;  // the default output's loopback; none = no output
    std::map<std::string, SyntheticStream> captureDevices;
    std::string defaultCommunications;  // empty: that role has no device
    std::string defaultMultimedia;
    std::map<uint32_t, SyntheticStream> processTrees;  // what each pid's tree plays
    bool processActivationTimesOut = false;
    // While set, connecting fails and every stream of an earlier connection is invalidated for
    // good, as when the server goes away; cleared, a new connection works again.
    std::shared_ptr<std::atomic<bool>> serverDown = std::make_shared<std::atomic<bool>>(false);
    // Nanoseconds on the clock the packets follow; the steady clock when empty. A simulated clock
    // makes long runs take no real time.
    std::function<int64_t()> clock;
};

// Endpoints that generate tones or noise on demand from the clock: packets become due as the clock
// passes their end, so whoever drives the clock decides how fast time goes.
class SyntheticAudioDevices final : public AudioDevices {
  public:
    explicit SyntheticAudioDevices(std::shared_ptr<const SyntheticAudioSetup> setup);

    uint32_t GetDefaultRenderDevice(AudioDeviceRef* device) override;
    uint32_t GetCaptureDevice(const std::string& id, AudioDeviceRef* device) override;
    uint32_t GetDefaultCaptureDevice(CaptureRole role, AudioDeviceRef* device) override;
    uint32_t Activate(const AudioDeviceRef& device,
                      std::unique_ptr<AudioEndpoint>* endpoint) override;
    uint32_t ActivateProcessLoopback(uint32_t pid, std::chrono::milliseconds limit,
                                     std::unique_ptr<AudioEndpoint>* endpoint) override;
    uint32_t ListDevices(AudioDeviceList* list) override;

  private:
    std::unique_ptr<AudioEndpoint> MakeEndpoint(const SyntheticStream& stream) const;

    std::shared_ptr<const SyntheticAudioSetup> m_setup;
};

}  // namespace tamro::platform
