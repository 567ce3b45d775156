#include "platform/audio/Denoiser.h"

#if TAMRO_HAVE_RNNOISE
#include "platform/audio/RnnoiseDenoiser.h"
#else
#include "platform/audio/SpeexDenoiser.h"
#endif

namespace tamro::platform {

std::unique_ptr<Denoiser> CreateDenoiser() {
#if TAMRO_HAVE_RNNOISE
    return RnnoiseDenoiser::Create();
#else
    return SpeexDenoiser::Create();
#endif
}

std::string_view DenoiserBackendName() noexcept {
#if TAMRO_HAVE_RNNOISE
    return "rnnoise";
#else
    return "speexdsp";
#endif
}

}  // namespace tamro::platform
