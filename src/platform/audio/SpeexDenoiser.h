#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "platform/audio/Denoiser.h"

struct SpeexPreprocessState_;

namespace tamro::platform {

// The denoiser on libspeexdsp's preprocessor: noise suppression only (no gain control, no
// dereverberation), with the preprocessor's speech probability as the voice probability.
class SpeexDenoiser final : public Denoiser {
  private:
    struct StateDeleter {
        void operator()(SpeexPreprocessState_* state) const noexcept;
    };
    using StatePtr = std::unique_ptr<SpeexPreprocessState_, StateDeleter>;
    // Only Create constructs, and only with a state.
    struct Key {
        explicit Key() = default;
    };

  public:
    // Attenuation of what the preprocessor takes for noise, in dB (its default is -15).
    static constexpr int32_t kNoiseSuppressDb = -15;

    // Null when the preprocessor cannot be created.
    static std::unique_ptr<SpeexDenoiser> Create();

    SpeexDenoiser(Key, StatePtr state) noexcept : m_state(std::move(state)) {}

    float ProcessFrame(float* out, const float* in) noexcept override;

  private:
    StatePtr m_state;
    std::array<int16_t, kFrameSamples> m_pcm{};
};

}  // namespace tamro::platform
