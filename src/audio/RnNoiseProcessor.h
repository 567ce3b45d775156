#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/DenoiserPool.h"
#include "platform/audio/Denoiser.h"

namespace tamro {

// Noise removal for blocks of interleaved 16-bit samples of any length: a mono mix is cut into
// the denoiser's 480-sample frames at 48 kHz, a voice gate with hangover and a smoothed gain
// follows the denoiser's voice probability, every (re)start fades in over 1440 samples, and the
// mono result goes back in place into the first two channels. The output lags the input by
// exactly one frame. At other rates, or without a denoiser state, blocks pass unchanged.
// Threading: one thread at a time (the owner's processing thread); the pool behind it may be
// shared with processors on other threads.
class RnNoiseProcessor {
  public:
    static constexpr size_t kFrameSamples = platform::Denoiser::kFrameSamples;
    static constexpr uint32_t kSampleRate = platform::Denoiser::kSampleRate;
    static constexpr uint64_t kFadeInSamples = 1440;
    static constexpr int32_t kHangoverFrames = 8;
    static constexpr float kRiseCoefficient = 0.6f;
    static constexpr float kFallCoefficient = 0.08f;

    // States come from the process-wide pool.
    RnNoiseProcessor();
    explicit RnNoiseProcessor(DenoiserPool& pool);
    ~RnNoiseProcessor();
    RnNoiseProcessor(const RnNoiseProcessor&) = delete;
    RnNoiseProcessor& operator=(const RnNoiseProcessor&) = delete;

    // Ready afterwards in every case; bypassed at a rate other than 48000 or when no state can
    // be had.
    void Initialize(uint32_t sampleRate, uint32_t channels) noexcept;
    // Starts the stream over: empty queues, open gate, a new fade-in.
    void Reset() noexcept;
    // Hands the state back to the pool; later blocks pass unchanged.
    void Release() noexcept;
    // In place; `count` is the number of int16 values (frames x channels).
    void Process(int16_t* samples, size_t count) noexcept;

    // Stores the strength and, for presets 0 to 2, sets the gate's (threshold, floor) to
    // (0.2, 0.5), (0.5, 0.15) or (0.6, 0.03); any other value keeps the current pair.
    void SetStrengthPreset(uint32_t strength) noexcept;

    bool IsReady() const noexcept { return m_ready; }
    bool IsBypassed() const noexcept { return m_bypass || !m_state; }
    // The state came from the pool, so the denoiser is past its cold start.
    bool IsWarm() const noexcept { return m_warm; }
    // RMS of the last block written, scaled to [-1, 1].
    float OutputRms() const noexcept { return m_outputRms; }

    // Set directly by the owner.
    uint32_t m_strength = 1;
    float m_vadThreshold = 0.5f;  // voice probability at or above which the gate opens
    float m_floor = 0.15f;        // gate gain at zero voice probability
    float m_floorScale = 1.0f;    // multiplier of m_floor (deeper gating of a boosted mic)

  private:
    void AcquireState() noexcept;
    void RestartQueues() noexcept;
    void PassThrough(const int16_t* samples, size_t count) noexcept;
    bool ReserveFor(size_t frames) noexcept;
    void QueueMono(const int16_t* samples, size_t frames) noexcept;
    void DenoiseQueuedFrames() noexcept;
    float GateTarget(float probability) noexcept;
    void WriteBack(int16_t* samples, size_t frames) noexcept;

    DenoiserPool* m_pool;
    uint32_t m_sampleRate = kSampleRate;
    uint32_t m_channels = 2;
    bool m_ready = false;
    bool m_bypass = false;
    bool m_warm = false;
    float m_gain = 1.0f;
    int32_t m_hangover = 0;
    uint64_t m_fadeInPos = 0;
    std::unique_ptr<platform::Denoiser> m_state;
    // Mono values in 16-bit scale. Reserved up front, so blocks up to the reserve (and, after
    // one larger block, blocks up to that size) allocate nothing.
    std::vector<float> m_inQueue;
    std::vector<float> m_outQueue;
    std::array<float, kFrameSamples> m_frameOut{};
    float m_outputRms = 0.0f;
};

}  // namespace tamro
