#include "audio/RnNoiseProcessor.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tamro {
namespace {

// Room for the output thread's 2048-value blocks and the effect's frames of up to 100 ms.
constexpr size_t kReservedValues = 8192;

constexpr float kSampleScale = 1.0f / 32768.0f;

struct Preset {
    float threshold;
    float floor;
};
constexpr std::array<Preset, 3> kPresets{{{0.2f, 0.5f}, {0.5f, 0.15f}, {0.6f, 0.03f}}};

int16_t ToSample(float x) noexcept {
    // NaN compares false both ways and becomes silence rather than a full-scale click.
    if (!(x > -32768.0f)) {
        x = x < 0.0f ? -32768.0f : 0.0f;
    }
    return static_cast<int16_t>(std::lroundf(std::min(x, 32767.0f)));
}

}  // namespace

RnNoiseProcessor::RnNoiseProcessor() : RnNoiseProcessor(DenoiserPool::Shared()) {}

RnNoiseProcessor::RnNoiseProcessor(DenoiserPool& pool) : m_pool(&pool) {
    m_inQueue.reserve(kReservedValues);
    m_outQueue.reserve(kReservedValues);
}

RnNoiseProcessor::~RnNoiseProcessor() {
    Release();
}

void RnNoiseProcessor::Initialize(uint32_t sampleRate, uint32_t channels) noexcept {
    m_sampleRate = sampleRate;
    m_channels = channels;
    Release();
    m_inQueue.clear();
    m_outQueue.clear();
    m_gain = 1.0f;
    m_fadeInPos = 0;
    m_warm = false;
    m_bypass = sampleRate != kSampleRate;
    if (!m_bypass) {
        AcquireState();
        if (!m_state) {
            m_bypass = true;
            m_ready = true;
            return;
        }
        RestartQueues();
    }
    m_ready = true;
}

void RnNoiseProcessor::Reset() noexcept {
    m_inQueue.clear();
    m_outQueue.clear();
    m_gain = 1.0f;
    m_fadeInPos = 0;
    if (m_bypass) {
        return;
    }
    if (!m_state) {
        AcquireState();
        if (!m_state) {
            m_bypass = true;
            return;
        }
    }
    RestartQueues();
}

void RnNoiseProcessor::Release() noexcept {
    if (m_state) {
        m_pool->Release(std::move(m_state));
    }
}

void RnNoiseProcessor::SetStrengthPreset(uint32_t strength) noexcept {
    m_strength = strength;
    if (strength < kPresets.size()) {
        m_vadThreshold = kPresets[strength].threshold;
        m_floor = kPresets[strength].floor;
    }
}

void RnNoiseProcessor::AcquireState() noexcept {
    DenoiserPool::Lease lease = m_pool->Acquire();
    m_state = std::move(lease.state);
    m_warm = m_state && lease.warm;
}

void RnNoiseProcessor::RestartQueues() noexcept {
    // One frame of silence ahead of the first processed frame: a constant delay of one frame,
    // so every block can be written back in full.
    m_outQueue.assign(kFrameSamples, 0.0f);
}

void RnNoiseProcessor::Process(int16_t* samples, size_t count) noexcept {
    if (!m_ready || count == 0 || m_channels == 0) {
        return;
    }
    const size_t frames = count / m_channels;
    if (IsBypassed() || !ReserveFor(frames)) {
        PassThrough(samples, count);
        return;
    }
    if (frames == 0) {
        return;  // less than one frame: nothing to queue or write
    }
    QueueMono(samples, frames);
    DenoiseQueuedFrames();
    WriteBack(samples, frames);
}

void RnNoiseProcessor::PassThrough(const int16_t* samples, size_t count) noexcept {
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i) {
        const double x = samples[i] * kSampleScale;
        sum += x * x;
    }
    m_outputRms = static_cast<float>(std::sqrt(sum / static_cast<double>(count)));
}

bool RnNoiseProcessor::ReserveFor(size_t frames) noexcept {
    const size_t queued = m_inQueue.size() + frames;
    try {
        m_inQueue.reserve(queued);
        m_outQueue.reserve(m_outQueue.size() + queued / kFrameSamples * kFrameSamples);
        return true;
    } catch (...) {
        return false;
    }
}

void RnNoiseProcessor::QueueMono(const int16_t* samples, size_t frames) noexcept {
    const size_t start = m_inQueue.size();
    m_inQueue.resize(start + frames);
    float* mono = m_inQueue.data() + start;
    if (m_channels == 1) {
        std::copy(samples, samples + frames, mono);
        return;
    }
    for (size_t i = 0; i < frames; ++i) {
        const int16_t* frame = samples + i * m_channels;
        mono[i] = (static_cast<float>(frame[0]) + static_cast<float>(frame[1])) * 0.5f;
    }
}

void RnNoiseProcessor::DenoiseQueuedFrames() noexcept {
    size_t consumed = 0;
    for (; m_inQueue.size() - consumed >= kFrameSamples; consumed += kFrameSamples) {
        const float probability =
            m_state->ProcessFrame(m_frameOut.data(), m_inQueue.data() + consumed);
        const float target = GateTarget(probability);
        const float g0 = m_gain;
        m_gain = g0 + (target - g0) * (target > g0 ? kRiseCoefficient : kFallCoefficient);
        // The gain moves linearly across the frame so a gate step never clicks.
        const float step = (m_gain - g0) / static_cast<float>(kFrameSamples);
        const size_t start = m_outQueue.size();
        m_outQueue.resize(start + kFrameSamples);
        float* out = m_outQueue.data() + start;
        for (size_t i = 0; i < kFrameSamples; ++i) {
            float y = (g0 + static_cast<float>(i + 1) * step) * m_frameOut[i];
            if (m_fadeInPos < kFadeInSamples) {
                const double phase = std::numbers::pi * static_cast<double>(m_fadeInPos) /
                                     static_cast<double>(kFadeInSamples);
                y *= static_cast<float>((1.0 - std::cos(phase)) * 0.5);
                ++m_fadeInPos;
            }
            out[i] = y;
        }
    }
    m_inQueue.erase(m_inQueue.begin(), m_inQueue.begin() + static_cast<ptrdiff_t>(consumed));
}

float RnNoiseProcessor::GateTarget(float probability) noexcept {
    if (probability >= m_vadThreshold) {
        m_hangover = kHangoverFrames;
    }
    if (m_hangover > 0) {
        --m_hangover;
        return 1.0f;
    }
    const float floor = m_floorScale * m_floor;
    const float t =
        m_vadThreshold <= 1e-6f ? 1.0f : std::clamp(probability / m_vadThreshold, 0.0f, 1.0f);
    // Smoothstep from the floor up to 1.
    return (3.0f - 2.0f * t) * t * t * (1.0f - floor) + floor;
}

void RnNoiseProcessor::WriteBack(int16_t* samples, size_t frames) noexcept {
    const size_t available = std::min(frames, m_outQueue.size());
    const bool both = m_channels > 1;
    double sum = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        const int16_t s = i < available ? ToSample(m_outQueue[i]) : 0;
        int16_t* frame = samples + i * m_channels;
        frame[0] = s;
        if (both) {
            frame[1] = s;
        }
        const double x = s * kSampleScale;
        sum += x * x;
    }
    m_outQueue.erase(m_outQueue.begin(), m_outQueue.begin() + static_cast<ptrdiff_t>(available));
    m_outputRms = static_cast<float>(std::sqrt(sum / static_cast<double>(frames)));
}

}  // namespace tamro
