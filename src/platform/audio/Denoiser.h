#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace tamro::platform {

// One denoiser state over mono frames of kFrameSamples at kSampleRate, samples in 16-bit scale
// (-32768..32767) held as floats. A state carries the noise estimate of the stream it has seen,
// so it serves one stream at a time.
// Threading: one thread at a time per state.
class Denoiser {
  public:
    static constexpr size_t kFrameSamples = 480;
    static constexpr uint32_t kSampleRate = 48000;

    virtual ~Denoiser() = default;

    // Denoises one frame of `in` into `out` (the same array is fine); returns the probability,
    // 0 to 1, that the frame holds voice.
    virtual float ProcessFrame(float* out, const float* in) noexcept = 0;
};

// A new state of this build's denoiser, or null when none can be created.
std::unique_ptr<Denoiser> CreateDenoiser();

// Which library CreateDenoiser uses: "rnnoise" or "speexdsp".
std::string_view DenoiserBackendName() noexcept;

}  // namespace tamro::platform
