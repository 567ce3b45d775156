#include "tamro/RnNoiseAudioEffect.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "audio/RnNoiseProcessor.h"
#include "audio/SoftLimiter.h"
#include "diag/PerfLog.h"
#include "platform/system/SteadyClock.h"

namespace tamro {
namespace {

constexpr uint32_t kEffectRate = 48000;
constexpr uint64_t kPerfIntervalMs = 5000;
constexpr double kLevelGate = 0.02;  // below this a frame counts as silence for the gain
constexpr double kTargetLevel = 0.09;
constexpr double kMaxBoost = 2.5;

int16_t ToPcm16(float x) noexcept {
    // NaN compares false both ways and becomes silence rather than a full-scale click.
    if (!(x > -1.0f)) {
        x = x < 0.0f ? -1.0f : 0.0f;
    }
    return static_cast<int16_t>(std::lroundf(std::min(x, 1.0f) * 32767.0f));
}

// The recorder's limiter at its default knee: 0.7 to 0.8, ratio 3 above it.
constexpr SoftLimiter kLimit{};

uint32_t ClampedSetting(int32_t value) noexcept {
    return static_cast<uint32_t>(std::clamp(value, 0, 2));
}

int64_t NowMs() noexcept {
    return platform::SteadyClockNs() / 1'000'000;
}

}  // namespace

RnNoiseAudioEffect::RnNoiseAudioEffect() = default;
RnNoiseAudioEffect::~RnNoiseAudioEffect() = default;

std::vector<AudioEncodingProperties> RnNoiseAudioEffect::SupportedEncodingProperties() const {
    std::vector<AudioEncodingProperties> supported;
    for (uint32_t channels : {1u, 2u}) {
        AudioEncodingProperties properties =
            AudioEncodingProperties::CreatePcm(kEffectRate, channels, 32);
        properties.Subtype = kFloatSubtype;
        supported.push_back(std::move(properties));
    }
    return supported;
}

ResultCode RnNoiseAudioEffect::SetEncodingProperties(
    const AudioEncodingProperties& properties) noexcept {
    std::lock_guard lock(m_mutex);
    m_channels = std::max(properties.ChannelCount, 1u);
    // The old processor goes first, so the new one takes its state from the pool warm.
    m_processor.reset();
    if (m_mode != 0) {
        try {
            m_processor = std::make_unique<RnNoiseProcessor>();
        } catch (const std::bad_alloc&) {
            return kOutOfMemory;
        }
        m_processor->Initialize(properties.SampleRate, m_channels);
        m_processor->SetStrengthPreset(m_strength);
        m_processor->Reset();
    }
    m_boost = 1.0;
    m_gain = 1.0;
    m_levelAvg = 0.0;
    return kOk;
}

ResultCode RnNoiseAudioEffect::ProcessFrame(std::span<float> samples) noexcept {
    std::lock_guard lock(m_mutex);
    if (samples.empty()) {
        return kOk;
    }
    try {
        double sum = 0.0;
        for (float x : samples) {
            sum += static_cast<double>(x) * x;
        }
        const auto rawRms =
            static_cast<float>(std::sqrt(sum / static_cast<double>(samples.size())));
        const float level = m_processor && m_mode != 0 ? RemoveNoise(samples) : rawRms;
        UpdateGain(level, samples.size());
        ApplyGainAndLimit(samples);
        WritePerfLines(samples.size(), rawRms, level);
        return kOk;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kFail;
    }
}

float RnNoiseAudioEffect::RemoveNoise(std::span<float> samples) {
    // A boosted voice gets a deeper gate, so the boost does not lift the noise with it.
    m_processor->m_floorScale =
        static_cast<float>(std::clamp(1.0 / std::max(1.0, m_boost), 0.2, 1.0));
    if (m_scratch.size() < samples.size()) {
        m_scratch.resize(samples.size());
    }
    std::transform(samples.begin(), samples.end(), m_scratch.begin(), ToPcm16);
    m_processor->Process(m_scratch.data(), samples.size());
    std::transform(m_scratch.begin(), m_scratch.begin() + static_cast<ptrdiff_t>(samples.size()),
                   samples.begin(),
                   [](int16_t s) { return static_cast<float>(s) * 3.0517578e-5f; });
    return m_processor->OutputRms();
}

void RnNoiseAudioEffect::UpdateGain(float level, size_t count) noexcept {
    // Rates below are per 10 ms of audio at 48 kHz.
    const double k =
        static_cast<double>(std::min<size_t>(12, count / m_channels * 1000 / 48000 / 10));
    const double gainRate = std::min(0.6, 0.08 * k);
    if (level > kLevelGate) {
        if (m_levelAvg <= 0.0) {
            m_levelAvg = level;
        } else {
            const double a = std::min(0.5, 0.01 * k);
            m_levelAvg = (1.0 - a) * m_levelAvg + a * level;
        }
        const double desired = std::clamp(kTargetLevel / m_levelAvg, 1.0, kMaxBoost);
        const double c = m_boost > desired ? std::min(0.6, 0.02 * k) : std::min(0.5, 0.005 * k);
        m_boost = (1.0 - c) * m_boost + c * desired;
    }
    m_gain = (1.0 - gainRate) * m_gain + gainRate * m_boost;
}

void RnNoiseAudioEffect::ApplyGainAndLimit(std::span<float> samples) const noexcept {
    const auto gain = static_cast<float>(m_gain);
    for (float& x : samples) {
        x = kLimit(gain * x);
    }
}

void RnNoiseAudioEffect::WritePerfLines(size_t count, float rawRms, float postRms) {
    if (!PerfLog::IsPerfEnabled()) {
        return;
    }
    const int64_t now = NowMs();
    if (m_lastPerfTick == 0) {
        PerfLog::Write(
            "[PERF][CamOnlyAudio] first frame: %zu samples/call mode=%d strength=%d warm=%d\n",
            count, static_cast<int>(m_mode), static_cast<int>(m_strength),
            m_processor && m_processor->IsWarm() ? 1 : 0);
        m_lastPerfTick = static_cast<uint64_t>(std::max<int64_t>(now, 1));
        return;
    }
    if (static_cast<uint64_t>(now) - m_lastPerfTick < kPerfIntervalMs) {
        return;
    }
    m_lastPerfTick = static_cast<uint64_t>(now);
    const bool bypass = m_mode != 0 && (!m_processor || m_processor->IsBypassed());
    PerfLog::Write(
        "[PERF][CamOnlyAudio] mode=%d nsBypass=%d strength=%d rawRMS=%.3f postRMS=%.3f "
        "boost=%.2f gain=%.2f\n",
        static_cast<int>(m_mode), bypass ? 1 : 0, static_cast<int>(m_strength), rawRms, postRms,
        m_boost, m_gain);
}

void RnNoiseAudioEffect::Close() noexcept {
    std::lock_guard lock(m_mutex);
    m_processor.reset();
}

void RnNoiseAudioEffect::DiscardQueuedFrames() noexcept {
    std::lock_guard lock(m_mutex);
    if (m_processor) {
        m_processor->Reset();
    }
}

ResultCode RnNoiseAudioEffect::SetProperties(const PropertySet& configuration) noexcept {
    std::lock_guard lock(m_mutex);
    ResultCode result = kOk;
    // The int32 under `key`, or null when it is missing; a value of another type fails the call.
    auto lookup = [&](std::string_view key) -> const int32_t* {
        const auto entry = configuration.find(key);
        if (entry == configuration.end()) {
            return nullptr;
        }
        const int32_t* value = std::get_if<int32_t>(&entry->second);
        if (value == nullptr) {
            result = kInvalidArg;
        }
        return value;
    };
    if (const int32_t* strength = lookup("Strength")) {
        m_strength = ClampedSetting(*strength);
        if (m_processor) {
            m_processor->SetStrengthPreset(m_strength);
        }
    }
    if (const int32_t* mode = lookup("Mode")) {
        m_mode = ClampedSetting(*mode);
    }
    return result;
}

RnNoiseAudioEffect::State RnNoiseAudioEffect::CurrentState() const {
    std::lock_guard lock(m_mutex);
    return State{
        .strength = m_strength,
        .mode = m_mode,
        .channels = m_channels,
        .hasProcessor = m_processor != nullptr,
        .processorWarm = m_processor && m_processor->IsWarm(),
        .boost = m_boost,
        .gain = m_gain,
        .levelAvg = m_levelAvg,
    };
}

}  // namespace tamro
