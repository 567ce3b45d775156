#include "platform/audio/RnnoiseDenoiser.h"

#include <rnnoise.h>

namespace tamro::platform {

void RnnoiseDenoiser::StateDeleter::operator()(DenoiseState* state) const noexcept {
    rnnoise_destroy(state);
}

std::unique_ptr<RnnoiseDenoiser> RnnoiseDenoiser::Create() {
    StatePtr state(rnnoise_create(nullptr));
    if (!state) {
        return nullptr;
    }
    return std::make_unique<RnnoiseDenoiser>(Key{}, std::move(state));
}

float RnnoiseDenoiser::ProcessFrame(float* out, const float* in) noexcept {
    return rnnoise_process_frame(m_state.get(), out, in);
}

}  // namespace tamro::platform
