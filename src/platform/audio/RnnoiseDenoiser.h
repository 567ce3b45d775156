#pragma once

#include <memory>

#include "platform/audio/Denoiser.h"

struct DenoiseState;

namespace tamro::platform {

// The denoiser on librnnoise with its built-in model. Built only when the library is found.
class RnnoiseDenoiser final : public Denoiser {
  private:
    struct StateDeleter {
        void operator()(DenoiseState* state) const noexcept;
    };
    using StatePtr = std::unique_ptr<DenoiseState, StateDeleter>;
    struct Key {
        explicit Key() = default;
    };

  public:
    // Null when the library cannot create a state.
    static std::unique_ptr<RnnoiseDenoiser> Create();

    RnnoiseDenoiser(Key, StatePtr state) noexcept : m_state(std::move(state)) {}

    float ProcessFrame(float* out, const float* in) noexcept override;

  private:
    StatePtr m_state;
};

}  // namespace tamro::platform
