#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "tamro/Export.h"
#include "tamro/MediaProperties.h"
#include "tamro/Object.h"
#include "tamro/ResultCode.h"

namespace tamro {

class RnNoiseProcessor;

// The recorder's noise removal with a small automatic gain and a peak limiter, as an audio effect
// the host attaches by class name to the audio of its own camera-only recordings. Frames are
// interleaved 32-bit float PCM at 48 kHz, processed in place.
// Configuration: "Strength" (noise preset 0..2, default 1) and "Mode" (0 no noise removal, 1 or 2
// noise removal, default 2), each an int32 clamped to [0, 2]. A mode change takes effect at the
// next SetEncodingProperties.
// Threading: the media pipeline may call any operation from any thread; one mutex per instance
// serialises them.
class TAMRO_API RnNoiseAudioEffect final : public Object {
  public:
    static constexpr std::string_view kClassName = "Tamro.Native.RnNoiseAudioEffect";

    // For the host's diagnostics: the effect's state between two calls.
    struct State {
        uint32_t strength = 0;
        uint32_t mode = 0;
        uint32_t channels = 0;
        bool hasProcessor = false;
        bool processorWarm = false;  // its denoiser state came from the pool
        double boost = 0.0;          // automatic gain target
        double gain = 0.0;           // applied gain
        double levelAvg = 0.0;       // smoothed level; 0 = unset
    };

    RnNoiseAudioEffect();
    ~RnNoiseAudioEffect() override;
    RnNoiseAudioEffect(const RnNoiseAudioEffect&) = delete;
    RnNoiseAudioEffect& operator=(const RnNoiseAudioEffect&) = delete;

    std::string_view ClassName() const noexcept override { return kClassName; }

    // Basic audio effect.
    bool UseInputFrameForOutput() const noexcept { return true; }
    // Float PCM at 48000 Hz, mono and stereo.
    std::vector<AudioEncodingProperties> SupportedEncodingProperties() const;
    // Starts the stream over in the given format: a new processor unless the mode is 0, and the
    // gain back at 1.
    ResultCode SetEncodingProperties(const AudioEncodingProperties& properties) noexcept;
    // Denoises (mode 1 or 2), levels and limits one frame of interleaved samples in place.
    ResultCode ProcessFrame(std::span<float> samples) noexcept;
    // Drops the processor; its denoiser state goes back to the pool.
    void Close() noexcept;
    // A pipeline flush: the processor starts over.
    void DiscardQueuedFrames() noexcept;

    // Media extension: reads "Strength" and "Mode"; missing keys keep their values, and a value
    // that is not an int32 is kInvalidArg and kept too.
    ResultCode SetProperties(const PropertySet& configuration) noexcept;

    State CurrentState() const;

  private:
    float RemoveNoise(std::span<float> samples);
    void UpdateGain(float level, size_t count) noexcept;
    void ApplyGainAndLimit(std::span<float> samples) const noexcept;
    void WritePerfLines(size_t count, float rawRms, float postRms);

    mutable std::mutex m_mutex;
    uint32_t m_strength = 1;
    uint32_t m_mode = 2;
    std::unique_ptr<RnNoiseProcessor> m_processor;
    uint32_t m_channels = 2;
    double m_boost = 1.0;
    double m_gain = 1.0;
    double m_levelAvg = 0.0;
    std::vector<int16_t> m_scratch;
    uint64_t m_lastPerfTick = 0;  // ms of the last perf line; 0 before the first frame
};

}  // namespace tamro
