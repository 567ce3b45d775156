#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audio/IAudioCapture.h"

namespace tamro {

class RnNoiseProcessor;

// One output block of the recording's audio from one block of each ring: declicking of short
// reads, levels, noise removal on the microphone, automatic mic gain, the user volumes, ducking
// of the system sound while the user speaks, the mix, a soft-knee limiter and 16-bit output.
// All buffers are members, so a block allocates nothing.
// Threading: Process and the state it moves run on the output thread; the volumes and the ducking
// switches are atomics that any thread may set.
class OutputMixer {
  public:
    static constexpr size_t kBlockSamples = 2048;  // 1024 stereo frames
    static constexpr size_t kFadeFrames = 64;

    struct Input {
        size_t micGot = 0;  // samples the rings delivered into the blocks
        size_t sysGot = 0;
        bool micCaptured = false;
        bool sysCaptured = false;
        // False while the platform's own processing levels the microphone.
        bool agcAllowed = true;
        // Null or a processor to remove noise from the microphone.
        RnNoiseProcessor* denoiser = nullptr;
    };

    OutputMixer() = default;
    OutputMixer(const OutputMixer&) = delete;
    OutputMixer& operator=(const OutputMixer&) = delete;

    // Clamped as the recorder's settings need; gainSmoothing is kept only within (0, 1].
    void ConfigureLevels(const AudioLevels& levels);
    void SetMicrophoneVolume(double volume) { m_micVolume = Clamp(volume, 0.0, 2.0); }
    void SetSystemVolume(double volume) { m_systemVolume = Clamp(volume, 0.0, 2.0); }
    void SetDuckingEnabled(bool enabled);
    void SetDuckingGain(double gain) { m_duckGain = static_cast<float>(gain); }
    void SetDuckLevelDb(double levelDb) { m_duckLevelDb = levelDb; }
    // Back to the state of a new recording: gains, envelopes and the short-read flags.
    void Reset();

    // The blocks the rings are read into; Process works on them in place.
    float* MicBlock() { return m_mic.data(); }
    float* SystemBlock() { return m_sys.data(); }
    // Runs the block's steps and fills Output().
    void Process(const Input& input);
    const int16_t* Output() const { return m_output.data(); }
    const float* Mix() const { return m_mix.data(); }

    bool AgcEnabled() const { return m_agcEnabled; }
    double AgcGain() const { return m_agcGain; }
    double MicGainApplied() const { return m_micGainApplied; }
    double SystemGainApplied() const { return m_sysGainApplied; }
    float DuckGain() const { return m_duckGain; }
    float RawMicRms() const { return m_rawMicRms; }
    float MicRms() const { return m_micRms; }  // after noise removal
    float SystemRms() const { return m_sysRms; }
    bool DenoisedLastBlock() const { return m_denoised; }

    // Fades at the edges of a short read: in after a short block, out before the zero fill.
    static void Declick(float* block, size_t got, bool* shortLast);

  private:
    static double Clamp(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }
    static float Rms(const float* block, size_t divisor);
    void RemoveNoise(RnNoiseProcessor& denoiser);
    double AgcGainFor(double level, bool agcAllowed);
    void Duck(double level);
    void MixAndLimit();

    std::array<float, kBlockSamples> m_mic{};
    std::array<float, kBlockSamples> m_sys{};
    std::array<float, kBlockSamples> m_mix{};
    std::array<int16_t, kBlockSamples> m_output{};
    std::array<int16_t, kBlockSamples> m_scratch{};

    bool m_agcEnabled = false;
    double m_agcMinGain = 1.0;
    double m_agcMaxGain = 2.5;
    double m_agcTargetLevel = 0.09;
    double m_limiterThreshold = 0.7;
    double m_limiterKneeEnd = 0.8;
    double m_limiterRatio = 3.0;
    double m_gainSmoothing = 0.15;
    // Stored for the recorder's settings; no step of the mix reads them.
    double m_tuningA = 2.0;
    double m_tuningB = 1.2;

    double m_agcGain = 1.0;
    double m_agcLevelEma = 0.0;  // 0: unset
    std::atomic<double> m_micVolume{1.0};
    std::atomic<double> m_systemVolume{0.5};
    double m_micGainApplied = 1.0;
    double m_sysGainApplied = 0.5;
    std::atomic<bool> m_duckingEnabled{false};
    std::atomic<double> m_duckLevelDb{-12.0};
    std::atomic<float> m_duckGain{1.0f};
    float m_duckEnvelope = 0.0f;

    float m_rawMicRms = 0.0f;
    float m_micRms = 0.0f;
    float m_sysRms = 0.0f;
    bool m_denoised = false;
    bool m_micShortLast = false;
    bool m_sysShortLast = false;
};

}  // namespace tamro
