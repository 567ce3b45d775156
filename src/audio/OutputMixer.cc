#include "audio/OutputMixer.h"

#include <algorithm>
#include <cmath>

#include "audio/RnNoiseProcessor.h"
#include "audio/SoftLimiter.h"

namespace tamro {
namespace {

constexpr float kToInt16 = 32767.0f;
constexpr float kFromInt16 = 1.0f / 32768.0f;
constexpr double kAgcGate = 0.02;    // levels at or below this leave the automatic gain alone
constexpr double kAgcFloor = 0.004;  // the smallest level the gain is computed against
constexpr double kDuckGate = 0.03;   // microphone level that counts as speech
constexpr double kSystemHeadroom = 1.25;

}  // namespace

void OutputMixer::ConfigureLevels(const AudioLevels& levels) {
    m_agcMinGain = std::max(levels.agcMinGain, 0.0);
    m_agcMaxGain = std::max(levels.agcMaxGain, m_agcMinGain);
    m_agcTargetLevel = Clamp(levels.agcTargetLevel, 0.0, 1.0);
    m_limiterThreshold = Clamp(levels.limiterThreshold, 0.05, 1.0);
    m_limiterKneeEnd = Clamp(levels.limiterKneeEnd, m_limiterThreshold, 1.0);
    m_limiterRatio = std::max(levels.limiterRatio, 1.0);
    if (levels.gainSmoothing > 0.0 && levels.gainSmoothing <= 1.0)
        m_gainSmoothing = levels.gainSmoothing;
    if (levels.agcTuningA > 0.0)
        m_tuningA = levels.agcTuningA;
    if (levels.agcTuningB > 0.0)
        m_tuningB = levels.agcTuningB;
    m_agcEnabled = m_agcMaxGain > m_agcMinGain + 1e-6 && m_agcTargetLevel > 0.0;
}

void OutputMixer::SetDuckingEnabled(bool enabled) {
    m_duckingEnabled = enabled;
    if (!enabled)
        m_duckGain = 1.0f;
}

void OutputMixer::Reset() {
    m_agcGain = 1.0;
    m_agcLevelEma = 0.0;
    m_duckEnvelope = 0.0f;
    m_micShortLast = false;
    m_sysShortLast = false;
    m_rawMicRms = m_micRms = m_sysRms = 0.0f;
}

void OutputMixer::Declick(float* block, size_t got, bool* shortLast) {
    const size_t frames = got / 2;
    if (*shortLast && got >= 2) {
        const size_t n = std::min(frames, kFadeFrames);
        for (size_t i = 0; i < n; ++i) {
            const float scale = static_cast<float>(i + 1) / static_cast<float>(n + 1);
            block[2 * i] *= scale;
            block[2 * i + 1] *= scale;
        }
    }
    if (got >= kBlockSamples) {
        *shortLast = false;
        return;
    }
    const size_t n = std::min(frames, kFadeFrames);
    for (size_t j = 0; j < n; ++j) {
        const size_t frame = frames - n + j;
        const float scale = static_cast<float>(n - j) / static_cast<float>(n + 1);
        block[2 * frame] *= scale;
        block[2 * frame + 1] *= scale;
    }
    *shortLast = true;
}

float OutputMixer::Rms(const float* block, size_t divisor) {
    double sum = 0.0;
    for (size_t i = 0; i < kBlockSamples; ++i)
        sum += static_cast<double>(block[i]) * block[i];
    return static_cast<float>(std::sqrt(sum / static_cast<double>(divisor)));
}

void OutputMixer::Process(const Input& input) {
    if (input.micCaptured)
        Declick(m_mic.data(), input.micGot, &m_micShortLast);
    if (input.sysCaptured)
        Declick(m_sys.data(), input.sysGot, &m_sysShortLast);
    const bool micRead = input.micCaptured && input.micGot > 0;
    m_rawMicRms = Rms(m_mic.data(), micRead ? input.micGot : kBlockSamples);
    m_sysRms = Rms(m_sys.data(), input.sysGot > 0 ? input.sysGot : kBlockSamples);
    m_micRms = m_rawMicRms;
    m_denoised = input.denoiser != nullptr;
    if (m_denoised)
        RemoveNoise(*input.denoiser);

    const double g = AgcGainFor(m_micRms, input.agcAllowed);
    const double alpha = m_gainSmoothing;
    m_micGainApplied =
        (1.0 - alpha) * m_micGainApplied + alpha * Clamp(g * m_micVolume.load(), 0.0, m_agcMaxGain);
    Duck(std::max(m_micRms, m_rawMicRms));
    m_sysGainApplied =
        (1.0 - alpha) * m_sysGainApplied +
        alpha * Clamp(m_systemVolume.load() * kSystemHeadroom * m_duckGain.load(), 0.0, 2.0);
    MixAndLimit();
}

void OutputMixer::RemoveNoise(RnNoiseProcessor& denoiser) {
    // A boosted microphone is gated deeper, so the boost does not lift the noise floor with it.
    if (m_agcEnabled && m_agcGain > 0.0) {
        denoiser.m_floorScale =
            static_cast<float>(Clamp(m_agcMinGain / std::max(m_agcMinGain, m_agcGain), 0.2, 1.0));
    }
    for (size_t i = 0; i < kBlockSamples; ++i)
        m_scratch[i] = static_cast<int16_t>(std::clamp(m_mic[i], -1.0f, 1.0f) * kToInt16);
    denoiser.Process(m_scratch.data(), kBlockSamples);
    for (size_t i = 0; i < kBlockSamples; ++i)
        m_mic[i] = static_cast<float>(m_scratch[i]) * kFromInt16;
    m_micRms = denoiser.OutputRms();
}

double OutputMixer::AgcGainFor(double level, bool agcAllowed) {
    if (!m_agcEnabled || !agcAllowed)
        return 1.0;
    if (level > kAgcGate) {
        m_agcLevelEma = m_agcLevelEma == 0.0 ? level : 0.02 * level + 0.98 * m_agcLevelEma;
        const double desired = Clamp(m_agcTargetLevel / std::max(m_agcLevelEma, kAgcFloor),
                                     m_agcMinGain, m_agcMaxGain);
        // Falling fast keeps a loud voice from clipping; rising slowly keeps pauses from pumping.
        const double c = m_agcGain > desired ? 0.04 : 0.01;
        m_agcGain = (1.0 - c) * m_agcGain + c * desired;
    }
    return m_agcGain;
}

void OutputMixer::Duck(double level) {
    float gain = m_duckGain.load();
    if (!m_duckingEnabled.load()) {
        gain += (1.0f - gain) * 0.02f;
        m_duckEnvelope *= 0.9f;
    } else if (level > kDuckGate) {
        const auto l = static_cast<float>(level);
        m_duckEnvelope += (l - m_duckEnvelope) * (l > m_duckEnvelope ? 0.2f : 0.02f);
        if (m_duckEnvelope > kDuckGate) {
            const double amount = std::min((m_duckEnvelope - kDuckGate) / kDuckGate, 1.0);
            const double ducked = std::pow(10.0, m_duckLevelDb.load() / 20.0);
            gain = static_cast<float>(1.0 - amount * (1.0 - ducked));
        } else {
            gain += (1.0f - gain) * 0.01f;
        }
    } else {
        m_duckEnvelope *= 0.95f;
        gain += (1.0f - gain) * 0.01f;
    }
    m_duckGain = gain;
}

void OutputMixer::MixAndLimit() {
    const SoftLimiter limit{.threshold = static_cast<float>(m_limiterThreshold),
                            .kneeEnd = static_cast<float>(m_limiterKneeEnd),
                            .ratio = static_cast<float>(m_limiterRatio)};
    const auto sysGain = static_cast<float>(m_sysGainApplied);
    const auto micGain = static_cast<float>(m_micGainApplied);
    for (size_t i = 0; i < kBlockSamples; ++i) {
        const float y = limit(m_sys[i] * sysGain + m_mic[i] * micGain);
        m_mix[i] = y;
        m_output[i] = static_cast<int16_t>(y * kToInt16);
    }
}

}  // namespace tamro
