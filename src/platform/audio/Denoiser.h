#pragma once

#include <cstddef>
#include <memory>

namespace tamro::platform {

// A voice denoiser state working on 480-sample mono frames at 48 kHz, with samples as floats in
// 16-bit scale (-32768..32767). Built on librnnoise when the build found it, else on libspeexdsp's
// preprocessor (noise suppression on, its speech probability as the voice probability).
// Threading: one thread at a time per state.
class Denoiser {
  public:
    static constexpr size_t kFrameSize = 480;
    static constexpr unsigned kSampleRate = 48000;

    // Null when no state can be had.
    static std::unique_ptr<Denoiser> Create();
    virtual ~Denoiser() = default;

    // Denoises one frame from `in` into `out`; returns the probability (0..1) that it holds voice.
    virtual float ProcessFrame(float* out, const float* in) = 0;
};

}  // namespace tamro::platform
