#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/audio/Denoiser.h"

namespace tamro {

// Removes noise from interleaved 16-bit audio in blocks of any length: a mono mix is cut into the
// denoiser's 480-sample frames at 48 kHz, each frame passes a voice gate (open at the voice
// threshold, held for 8 frames after voice, easing to a floor gain without voice), the first
// 1440 samples after a (re)start fade in, and the result is written back to every channel in
// place, one frame (10 ms) late. Other rates, or no denoiser state, pass through unchanged.
// Denoiser states are costly to create, so one released state is parked process-wide for the next
// processor.
// Threading: one thread at a time; the parking slot is safe between threads.
class RnNoiseProcessor {
  public:
    static constexpr size_t kFrameSize = platform::Denoiser::kFrameSize;
    static constexpr uint64_t kFadeInSamples = 1440;
    static constexpr int32_t kHangoverFrames = 8;

    // Where states come from when not from the parking slot (tests); states from it are dropped
    // on release instead of parked.
    using StateSource = std::function<std::unique_ptr<platform::Denoiser>()>;

    RnNoiseProcessor() = default;
    explicit RnNoiseProcessor(StateSource source) : m_source(std::move(source)) {}
    ~RnNoiseProcessor() { Release(); }
    RnNoiseProcessor(const RnNoiseProcessor&) = delete;
    RnNoiseProcessor& operator=(const RnNoiseProcessor&) = delete;

    void Initialize(uint32_t sampleRate, uint32_t channels);
    // Empties the queues and restarts the fade-in, as after a stream restart.
    void Reset();
    // Hands the denoiser state back for reuse.
    void Release();
    // In place; `count` values (frames x channels).
    void Process(int16_t* samples, size_t count);

    // Presets 0..2 set (voice threshold, floor) to (0.2, 0.5), (0.5, 0.15), (0.6, 0.03); other
    // values keep the current pair.
    void ApplyPreset(uint32_t preset);
    void SetStrength(uint32_t strength) { m_strength = strength; }
    // Scales the floor, so a boosted microphone can be gated deeper.
    void SetFloorScale(float scale) { m_floorScale = scale; }
    void SetVoiceThreshold(float threshold) { m_vadThreshold = threshold; }
    void SetFloor(float floor) { m_floor = floor; }

    bool IsReady() const { return m_ready; }
    bool IsBypassed() const { return m_bypass || !m_state; }
    bool IsWarm() const { return m_warm; }
    uint32_t Strength() const { return m_strength; }
    float VoiceThreshold() const { return m_vadThreshold; }
    float Floor() const { return m_floor; }
    float FloorScale() const { return m_floorScale; }
    float Gain() const { return m_gain; }
    // RMS of the last block written, in [-1, 1] scale.
    float OutputRms() const { return m_outputRms; }
    size_t QueuedInput() const { return m_inQueue.size(); }

  private:
    bool AcquireState();
    void PrimeOutput();
    void ProcessFrame();
    float GateTarget(float probability);

    StateSource m_source;
    uint32_t m_sampleRate = 48000;
    uint32_t m_channels = 2;
    bool m_ready = false;
    bool m_bypass = false;
    bool m_warm = false;
    uint32_t m_strength = 1;
    float m_vadThreshold = 0.5f;
    float m_floor = 0.15f;
    float m_floorScale = 1.0f;
    float m_gain = 1.0f;
    int32_t m_hangover = 0;
    uint64_t m_fadeInPos = 0;
    std::unique_ptr<platform::Denoiser> m_state;
    std::vector<float> m_inQueue;
    std::vector<float> m_outQueue;
    std::array<float, kFrameSize> m_frameIn{};
    std::array<float, kFrameSize> m_frameOut{};
    float m_outputRms = 0.0f;
};

}  // namespace tamro
