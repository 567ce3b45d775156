#include "platform/audio/SpeexDenoiser.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>

namespace tamro::platform {

void SpeexDenoiser::StateDeleter::operator()(SpeexPreprocessState_* state) const noexcept {
    speex_preprocess_state_destroy(state);
}

std::unique_ptr<SpeexDenoiser> SpeexDenoiser::Create() {
    StatePtr state(speex_preprocess_state_init(static_cast<int>(kFrameSamples),
                                               static_cast<int>(kSampleRate)));
    if (!state) {
        return nullptr;
    }
    spx_int32_t on = 1;
    spx_int32_t off = 0;
    spx_int32_t suppress = kNoiseSuppressDb;
    speex_preprocess_ctl(state.get(), SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(state.get(), SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
    // Levelling and reverberation are the owners' business; only the noise goes here.
    speex_preprocess_ctl(state.get(), SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(state.get(), SPEEX_PREPROCESS_SET_DEREVERB, &off);
    return std::make_unique<SpeexDenoiser>(Key{}, std::move(state));
}

float SpeexDenoiser::ProcessFrame(float* out, const float* in) noexcept {
    for (size_t i = 0; i < kFrameSamples; ++i) {
        const float x = std::isnan(in[i]) ? 0.0f : std::clamp(in[i], -32768.0f, 32767.0f);
        m_pcm[i] = static_cast<int16_t>(std::lrintf(x));
    }
    speex_preprocess_run(m_state.get(), m_pcm.data());
    spx_int32_t percent = 0;
    speex_preprocess_ctl(m_state.get(), SPEEX_PREPROCESS_GET_PROB, &percent);
    for (size_t i = 0; i < kFrameSamples; ++i) {
        out[i] = m_pcm[i];
    }
    return std::clamp(static_cast<float>(percent) / 100.0f, 0.0f, 1.0f);
}

}  // namespace tamro::platform
