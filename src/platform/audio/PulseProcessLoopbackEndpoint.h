#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio/AudioEndpoint.h"
#include "platform/audio/PulseRecordStream.h"

namespace tamro::platform {

// Loopback of one process tree: a monitor stream per sink input that the tree plays, summed into
// stereo float32 packets. Sink inputs that appear later (the application opens another stream)
// are added, and ones that end are dropped.
// Threading: as AudioEndpoint. Streams and pending server queries live on the loop thread (or
// under its lock); the mix and the per-input write positions are under m_mutex.
class PulseProcessLoopbackEndpoint final : public AudioEndpoint {
  public:
    PulseProcessLoopbackEndpoint(std::shared_ptr<PulseConnection> connection, uint32_t pid,
                                 uint32_t sampleRate, std::vector<uint32_t> sinkInputs);
    ~PulseProcessLoopbackEndpoint() override;

    uint32_t GetMixFormat(AudioFormat* format) override;
    uint32_t SetStreamMode(bool raw) override { return kAudioNotImplemented; }
    uint32_t Initialize(std::chrono::milliseconds bufferDuration) override;
    uint32_t SetWakeEvent(std::shared_ptr<WakeEvent> event) override;
    uint32_t Start() override;
    uint32_t Stop() override;
    uint32_t GetNextPacketSize(uint32_t* frames) override;
    uint32_t GetBuffer(AudioPacket* packet) override;
    uint32_t ReleaseBuffer(uint32_t frames) override;
    uint32_t GetStreamLatency(int64_t* latency100ns) override;

    static constexpr uint16_t kChannels = 2;

  private:
    // On the loop thread or under its lock.
    bool AddInput(uint32_t sinkInput);
    void RemoveInput(uint32_t sinkInput);
    void OnSinkInputEvent(pa_subscription_event_type_t type, uint32_t index);
    void Track(pa_operation* operation);
    // Under m_mutex.
    void MixIn(uint32_t sinkInput, const void* data, size_t bytes);
    void TrimBacklog();

    const std::shared_ptr<PulseConnection> m_connection;
    const uint32_t m_pid;
    const AudioFormat m_format;
    const std::vector<uint32_t> m_initialInputs;

    std::map<uint32_t, std::unique_ptr<PulseRecordStream>> m_streams;  // loop lock
    std::vector<pa_operation*> m_pending;                              // loop lock
    int m_listener = 0;
    bool m_running = false;  // loop lock

    std::mutex m_mutex;
    std::vector<float> m_mix;                  // summed frames not yet handed out
    std::map<uint32_t, size_t> m_writeFrames;  // per input: frames it has filled in m_mix
    std::vector<float> m_packet;
    uint32_t m_packetFrames = 0;  // prepared by GetNextPacketSize
    uint64_t m_deliveredFrames = 0;
    bool m_lostBefore = false;
    std::shared_ptr<WakeEvent> m_wake;
};

}  // namespace tamro::platform
