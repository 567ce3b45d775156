#include "platform/audio/Denoiser.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#ifdef TAMRO_HAVE_RNNOISE
#include <rnnoise.h>
#else
#include <speex/speex_preprocess.h>
#endif

namespace tamro::platform {
namespace {

#ifdef TAMRO_HAVE_RNNOISE

class RnnoiseDenoiser final : public Denoiser {
  public:
    explicit RnnoiseDenoiser(DenoiseState* state) : m_state(state) {}
    ~RnnoiseDenoiser() override { rnnoise_destroy(m_state); }
    RnnoiseDenoiser(const RnnoiseDenoiser&) = delete;
    RnnoiseDenoiser& operator=(const RnnoiseDenoiser&) = delete;

    float ProcessFrame(float* out, const float* in) override {
        return rnnoise_process_frame(m_state, out, in);
    }

  private:
    DenoiseState* m_state;
};

std::unique_ptr<Denoiser> CreateDenoiser() {
    DenoiseState* state = rnnoise_create(nullptr);
    return state ? std::make_unique<RnnoiseDenoiser>(state) : nullptr;
}

#else

// Deeper than the preprocessor's -15 dB default, near what a recurrent denoiser removes.
constexpr int kNoiseSuppressDb = -40;

class SpeexDenoiser final : public Denoiser {
  public:
    explicit SpeexDenoiser(SpeexPreprocessState* state) : m_state(state) {
        int on = 1;
        int off = 0;
        int suppress = kNoiseSuppressDb;
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
        // Levelling and voice gating are the owner's; the state only removes noise.
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_AGC, &off);
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_VAD, &off);
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    }
    ~SpeexDenoiser() override { speex_preprocess_state_destroy(m_state); }
    SpeexDenoiser(const SpeexDenoiser&) = delete;
    SpeexDenoiser& operator=(const SpeexDenoiser&) = delete;

    float ProcessFrame(float* out, const float* in) override {
        for (size_t i = 0; i < kFrameSize; ++i) {
            m_frame[i] = static_cast<spx_int16_t>(std::clamp(std::lround(in[i]), -32768L, 32767L));
        }
        speex_preprocess_run(m_state, m_frame.data());
        std::copy(m_frame.begin(), m_frame.end(), out);
        int percent = 0;
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_GET_PROB, &percent);
        return static_cast<float>(std::clamp(percent, 0, 100)) / 100.0f;
    }

  private:
    SpeexPreprocessState* m_state;
    std::array<spx_int16_t, kFrameSize> m_frame{};
};

std::unique_ptr<Denoiser> CreateDenoiser() {
    SpeexPreprocessState* state = speex_preprocess_state_init(
        static_cast<int>(Denoiser::kFrameSize), static_cast<int>(Denoiser::kSampleRate));
    return state ? std::make_unique<SpeexDenoiser>(state) : nullptr;
}

#endif

}  // namespace

std::unique_ptr<Denoiser> Denoiser::Create() {
    return CreateDenoiser();
}

}  // namespace tamro::platform
