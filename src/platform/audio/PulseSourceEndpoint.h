#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/AudioEndpoint.h"
#include "platform/audio/PulseRecordStream.h"

namespace tamro::platform {

// Capture of one PulseAudio source (a microphone, or the monitor of a sink) as float32 packets.
// The loop thread copies each fragment into a packet queue and sets the wake event; the capture
// thread takes packets from the queue without touching the server. The stream stays on its source:
// when the source goes away it ends instead of being moved to another. A loopback of the default
// output watches for another output becoming the default.
// Threading: as AudioEndpoint.
class PulseSourceEndpoint final : public AudioEndpoint {
  public:
    // `isMonitor`: the source is a sink's monitor, which may hand a new stream nothing for a while.
    // `defaultOutput`: the default sink whose monitor `source` is, or empty.
    PulseSourceEndpoint(std::shared_ptr<PulseConnection> connection, std::string source,
                        uint32_t sampleRate, uint8_t channels, bool isMonitor,
                        std::string defaultOutput = {});
    ~PulseSourceEndpoint() override;

    uint32_t GetMixFormat(AudioFormat* format) override;
    uint32_t SetStreamMode(bool raw) override;
    uint32_t Initialize(std::chrono::milliseconds bufferDuration) override;
    uint32_t SetWakeEvent(std::shared_ptr<WakeEvent> event) override;
    uint32_t Start() override;
    uint32_t Stop() override;
    uint32_t GetNextPacketSize(uint32_t* frames) override;
    uint32_t GetBuffer(AudioPacket* packet) override;
    uint32_t ReleaseBuffer(uint32_t frames) override;
    uint32_t GetStreamLatency(int64_t* latency100ns) override;

  private:
    struct Packet {
        std::vector<uint8_t> bytes;  // empty for a hole
        uint32_t frames = 0;
        uint32_t flags = 0;
        uint64_t devicePosition = 0;
        uint64_t clockPosition = 0;
    };

    void OnData(const void* data, size_t bytes);
    // On the loop thread.
    void OnStreamFailed();
    void QueryDefaultOutput();
    static void OnServerInfo(pa_context* context, const pa_server_info* info, void* self);
    void CancelServerQuery();  // with the connection's lock held

    const std::shared_ptr<PulseConnection> m_connection;
    const std::string m_source;
    const AudioFormat m_format;
    bool m_raw = true;
    std::unique_ptr<PulseRecordStream> m_stream;  // under the connection lock
    const std::string m_defaultOutput;
    int m_serverListener = 0;               // under the connection lock
    pa_operation* m_serverQuery = nullptr;  // under the connection lock

    std::mutex m_mutex;  // the queue and the wake event
    std::deque<Packet> m_queue;
    uint64_t m_queuedFrames = 0;
    uint64_t m_maxQueuedFrames = 0;
    uint64_t m_deliveredFrames = 0;
    const bool m_isMonitor;
    bool m_lostBefore = false;
    bool m_holding = false;
    bool m_started = false;  // packets before Start are dropped
    bool m_corked = false;   // with the connection's lock held
    bool m_deviceGone = false;
    bool m_defaultMoved = false;  // said once
    std::shared_ptr<WakeEvent> m_wake;
};

}  // namespace tamro::platform
