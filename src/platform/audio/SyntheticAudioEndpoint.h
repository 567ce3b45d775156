#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio/SyntheticAudioDevices.h"

namespace tamro::platform {

// One generated stream (SyntheticAudioDevices).
// Threading: as AudioEndpoint; the packet calls are serialised by a lock of their own so a test
// may also poll from another thread.
class SyntheticAudioEndpoint final : public AudioEndpoint {
  public:
    SyntheticAudioEndpoint(SyntheticStream stream, std::function<int64_t()> clock,
                           std::shared_ptr<const std::atomic<bool>> serverDown = nullptr);

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

    bool RawModeRequested() const { return m_raw; }

  private:
    // Skips packets that fall inside gaps; true when a whole packet is due now.
    bool AdvanceToDuePacket();
    int64_t PacketStartNs(uint64_t frame) const;
    bool InGap(int64_t relativeNs) const;
    void Generate(uint32_t frames);
    double Sample(uint64_t frame, uint32_t channel);
    static double Chime(double t);
    static double Speech(double t);

    const SyntheticStream m_stream;
    const std::function<int64_t()> m_clock;
    const std::shared_ptr<const std::atomic<bool>> m_serverDown;
    bool m_lost = false;  // the server went away once: this stream never comes back
    const uint32_t m_packetFrames;

    std::mutex m_mutex;
    bool m_initialized = false;
    bool m_raw = false;
    bool m_started = false;
    int64_t m_startNs = 0;
    uint64_t m_produced = 0;  // frames delivered or lost since Start
    uint64_t m_packetIndex = 0;
    bool m_lostBefore = false;
    bool m_holding = false;  // between GetBuffer and ReleaseBuffer
    uint32_t m_noiseState;
    std::vector<uint8_t> m_buffer;
    std::shared_ptr<WakeEvent> m_wake;
};

}  // namespace tamro::platform
