#include "audio/RnNoiseProcessor.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

namespace tamro {
namespace {

constexpr float kFromInt16 = 1.0f / 32768.0f;
constexpr float kRiseRate = 0.6f;   // the gate opens within a frame or two
constexpr float kFallRate = 0.08f;  // and closes over a few tens of milliseconds

// One parked denoiser state shared by the whole process.
class StateSlot {
  public:
    static StateSlot& Instance() {
        static StateSlot slot;
        return slot;
    }

    // A parked state (warm) or a new one; null when none can be created.
    std::unique_ptr<platform::Denoiser> Take(bool* warm) {
        {
            std::lock_guard lock(m_mutex);
            if (m_parked) {
                *warm = true;
                return std::move(m_parked);
            }
        }
        *warm = false;
        return platform::Denoiser::Create();
    }

    // Parks the state if the slot is free; otherwise it is destroyed.
    void Give(std::unique_ptr<platform::Denoiser> state) {
        std::unique_lock lock(m_mutex);
        if (!m_parked) {
            m_parked = std::move(state);
            return;
        }
        lock.unlock();
    }

  private:
    std::mutex m_mutex;
    std::unique_ptr<platform::Denoiser> m_parked;
};

float Rms(const int16_t* samples, size_t count) {
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i) {
        const double s = samples[i] * static_cast<double>(kFromInt16);
        sum += s * s;
    }
    return count == 0 ? 0.0f : static_cast<float>(std::sqrt(sum / static_cast<double>(count)));
}

}  // namespace

bool RnNoiseProcessor::AcquireState() {
    if (m_source) {
        m_state = m_source();
        m_warm = false;
    } else {
        m_state = StateSlot::Instance().Take(&m_warm);
    }
    return m_state != nullptr;
}

void RnNoiseProcessor::Release() {
    if (!m_state)
        return;
    if (m_source)
        m_state.reset();
    else
        StateSlot::Instance().Give(std::move(m_state));
}

void RnNoiseProcessor::PrimeOutput() {
    // A frame of silence ahead of the first processed frame: the delay is exactly one frame, and
    // no block after the first runs short of output.
    m_outQueue.assign(kFrameSize, 0.0f);
}

void RnNoiseProcessor::Initialize(uint32_t sampleRate, uint32_t channels) {
    m_sampleRate = sampleRate;
    m_channels = channels;
    Release();
    m_inQueue.clear();
    m_outQueue.clear();
    m_gain = 1.0f;
    m_hangover = 0;
    m_fadeInPos = 0;
    m_bypass = sampleRate != platform::Denoiser::kSampleRate;
    m_ready = true;
    if (m_bypass)
        return;
    if (!AcquireState()) {
        m_bypass = true;
        return;
    }
    PrimeOutput();
}

void RnNoiseProcessor::Reset() {
    m_inQueue.clear();
    m_outQueue.clear();
    m_gain = 1.0f;
    m_hangover = 0;
    m_fadeInPos = 0;
    if (m_bypass)
        return;
    if (!m_state && !AcquireState()) {
        m_bypass = true;
        return;
    }
    PrimeOutput();
}

void RnNoiseProcessor::ApplyPreset(uint32_t preset) {
    static constexpr std::array<std::array<float, 2>, 3> kPresets{
        {{0.2f, 0.5f}, {0.5f, 0.15f}, {0.6f, 0.03f}}};
    if (preset >= kPresets.size())
        return;
    m_strength = preset;
    m_vadThreshold = kPresets[preset][0];
    m_floor = kPresets[preset][1];
}

float RnNoiseProcessor::GateTarget(float probability) {
    if (probability >= m_vadThreshold)
        m_hangover = kHangoverFrames;
    if (m_hangover > 0) {
        --m_hangover;
        return 1.0f;
    }
    const float floor = m_floorScale * m_floor;
    const float t =
        m_vadThreshold <= 1e-6f ? 1.0f : std::clamp(probability / m_vadThreshold, 0.0f, 1.0f);
    // Smoothstep from the floor up to unity as the probability nears the threshold.
    return (3.0f - 2.0f * t) * t * t * (1.0f - floor) + floor;
}

void RnNoiseProcessor::ProcessFrame() {
    std::copy_n(m_inQueue.begin(), kFrameSize, m_frameIn.begin());
    const float probability = m_state->ProcessFrame(m_frameOut.data(), m_frameIn.data());
    const float target = GateTarget(probability);
    const float g0 = m_gain;
    m_gain = g0 + (target - g0) * (target > g0 ? kRiseRate : kFallRate);
    const float step = (m_gain - g0) / static_cast<float>(kFrameSize);
    for (size_t i = 0; i < kFrameSize; ++i) {
        float y = (g0 + static_cast<float>(i + 1) * step) * m_frameOut[i];
        if (m_fadeInPos < kFadeInSamples) {
            const double phase = std::numbers::pi * static_cast<double>(m_fadeInPos) /
                                 static_cast<double>(kFadeInSamples);
            y *= static_cast<float>((1.0 - std::cos(phase)) * 0.5);
            ++m_fadeInPos;
        }
        m_outQueue.push_back(y);
    }
    m_inQueue.erase(m_inQueue.begin(), m_inQueue.begin() + kFrameSize);
}

void RnNoiseProcessor::Process(int16_t* samples, size_t count) {
    if (!m_ready || count == 0 || m_channels == 0)
        return;
    if (IsBypassed()) {
        m_outputRms = Rms(samples, count);
        return;
    }
    const size_t frames = count / m_channels;
    for (size_t i = 0; i < frames; ++i) {
        const int16_t* frame = samples + i * m_channels;
        m_inQueue.push_back(m_channels > 1 ? (frame[0] + frame[1]) * 0.5f : frame[0]);
    }
    while (m_inQueue.size() >= kFrameSize)
        ProcessFrame();
    const size_t available = std::min(frames, m_outQueue.size());
    double sum = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        const float x = i < available ? m_outQueue[i] : 0.0f;
        const auto s = static_cast<int16_t>(std::clamp(std::lround(x), -32768L, 32767L));
        int16_t* frame = samples + i * m_channels;
        frame[0] = s;
        if (m_channels > 1)
            frame[1] = s;
        const double scaled = x * static_cast<double>(kFromInt16);
        sum += scaled * scaled;
    }
    m_outQueue.erase(m_outQueue.begin(), m_outQueue.begin() + static_cast<ptrdiff_t>(available));
    m_outputRms = frames == 0 ? 0.0f : static_cast<float>(std::sqrt(sum / frames));
}

}  // namespace tamro
