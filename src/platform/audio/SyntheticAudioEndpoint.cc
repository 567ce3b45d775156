#include "platform/audio/SyntheticAudioEndpoint.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace tamro::platform {
namespace {

constexpr double kNsPerSecond = 1e9;

}  // namespace

SyntheticAudioEndpoint::SyntheticAudioEndpoint(SyntheticStream stream,
                                               std::function<int64_t()> clock,
                                               std::shared_ptr<const std::atomic<bool>> serverDown)
    : m_stream(std::move(stream)),
      m_clock(std::move(clock)),
      m_serverDown(std::move(serverDown)),
      m_packetFrames(m_stream.packetFrames != 0 ? m_stream.packetFrames
                                                : std::max(1u, m_stream.format.sampleRate / 100)),
      m_noiseState(m_stream.noiseSeed != 0 ? m_stream.noiseSeed : 1) {}

uint32_t SyntheticAudioEndpoint::GetMixFormat(AudioFormat* format) {
    *format = m_stream.format;
    return kAudioOk;
}

uint32_t SyntheticAudioEndpoint::SetStreamMode(bool raw) {
    m_raw = raw;
    return kAudioOk;
}

uint32_t SyntheticAudioEndpoint::Initialize(std::chrono::milliseconds) {
    if (AudioFailed(m_stream.initializeResult)) {
        return m_stream.initializeResult;
    }
    m_initialized = true;
    m_buffer.resize(static_cast<size_t>(m_packetFrames) * m_stream.format.BytesPerFrame());
    return kAudioOk;
}

uint32_t SyntheticAudioEndpoint::SetWakeEvent(std::shared_ptr<WakeEvent> event) {
    m_wake = std::move(event);
    return kAudioOk;
}

uint32_t SyntheticAudioEndpoint::Start() {
    std::lock_guard lock(m_mutex);
    if (!m_initialized) {
        return kAudioNotInitialized;
    }
    m_started = true;
    m_startNs = m_clock();
    m_produced = 0;
    m_packetIndex = 0;
    return kAudioOk;
}

uint32_t SyntheticAudioEndpoint::Stop() {
    std::lock_guard lock(m_mutex);
    m_started = false;
    return kAudioOk;
}

int64_t SyntheticAudioEndpoint::PacketStartNs(uint64_t frame) const {
    const double deviceRate = m_stream.format.sampleRate * (1.0 + m_stream.skewPpm * 1e-6);
    return static_cast<int64_t>(static_cast<double>(frame) * kNsPerSecond / deviceRate);
}

bool SyntheticAudioEndpoint::InGap(int64_t relativeNs) const {
    return std::any_of(m_stream.gaps.begin(), m_stream.gaps.end(), [&](const auto& gap) {
        return relativeNs >= gap.fromNs && relativeNs < gap.toNs;
    });
}

bool SyntheticAudioEndpoint::AdvanceToDuePacket() {
    if (!m_started || m_stream.neverStarts) {
        return false;
    }
    const int64_t elapsed = m_clock() - m_startNs;
    for (;;) {
        const uint64_t end = m_produced + m_packetFrames;
        if (PacketStartNs(end) > elapsed) {
            return false;
        }
        if (!InGap(PacketStartNs(m_produced))) {
            return true;
        }
        m_produced = end;
        m_lostBefore = true;
    }
}

uint32_t SyntheticAudioEndpoint::GetNextPacketSize(uint32_t* frames) {
    std::lock_guard lock(m_mutex);
    m_lost = m_lost || (m_serverDown && m_serverDown->load());
    if (m_lost) {
        *frames = 0;
        return kAudioServiceNotRunning;
    }
    *frames = (m_holding || AdvanceToDuePacket()) ? m_packetFrames : 0;
    return kAudioOk;
}

uint32_t SyntheticAudioEndpoint::GetBuffer(AudioPacket* packet) {
    if (m_stream.getBufferGate) {
        m_stream.getBufferGate->WaitOpen();
    }
    std::lock_guard lock(m_mutex);
    if (!m_holding && !AdvanceToDuePacket()) {
        return kAudioFail;
    }
    m_holding = true;
    const bool silent = m_stream.dead || (m_stream.silentEvery != 0 &&
                                          (m_packetIndex + 1) % m_stream.silentEvery == 0);
    if (!silent) {
        Generate(m_packetFrames);
    }
    *packet = AudioPacket{
        .data = silent ? nullptr : m_buffer.data(),
        .frames = m_packetFrames,
        .flags = (silent ? kPacketSilent : 0u) | (m_lostBefore ? kPacketDiscontinuity : 0u),
        .devicePosition = m_produced,
        .clockPosition =
            static_cast<uint64_t>((m_startNs + PacketStartNs(m_produced + m_packetFrames)) / 100),
    };
    return kAudioOk;
}

uint32_t SyntheticAudioEndpoint::ReleaseBuffer(uint32_t frames) {
    std::lock_guard lock(m_mutex);
    if (!m_holding || frames != m_packetFrames) {
        return kAudioInvalidArgument;
    }
    m_holding = false;
    m_lostBefore = false;
    m_produced += frames;
    ++m_packetIndex;
    return kAudioOk;
}

uint32_t SyntheticAudioEndpoint::GetStreamLatency(int64_t* latency100ns) {
    *latency100ns = m_stream.latency100ns;
    return kAudioOk;
}

double SyntheticAudioEndpoint::Sample(uint64_t frame, uint32_t channel) {
    if (m_stream.waveform == SyntheticStream::Waveform::kNoise) {
        // xorshift32: reproducible from the seed, cheap enough for long simulated runs.
        m_noiseState ^= m_noiseState << 13;
        m_noiseState ^= m_noiseState >> 17;
        m_noiseState ^= m_noiseState << 5;
        return m_stream.amplitude * (static_cast<double>(m_noiseState) / 2147483648.0 - 1.0);
    }
    const double t = static_cast<double>(frame) / m_stream.format.sampleRate;
    switch (m_stream.waveform) {
        case SyntheticStream::Waveform::kChime:
            return m_stream.amplitude * Chime(t);
        case SyntheticStream::Waveform::kSpeech:
            return m_stream.amplitude * Speech(t);
        default:
            return m_stream.amplitude * std::sin(2.0 * std::numbers::pi * m_stream.frequencyHz * t);
    }
}

double SyntheticAudioEndpoint::Chime(double t) {
    constexpr double kNotesHz[] = {523.25, 659.25, 783.99};
    constexpr double kNoteSeconds = 0.18;
    const double inCycle = std::fmod(t, 2.0);
    const auto note = static_cast<size_t>(inCycle / kNoteSeconds);
    if (note >= std::size(kNotesHz))
        return 0.0;
    const double inNote = inCycle - static_cast<double>(note) * kNoteSeconds;
    // A quick attack and an exponential decay, like a struck bell.
    const double envelope = std::min(inNote / 0.005, 1.0) * std::exp(-inNote * 18.0);
    return envelope * std::sin(2.0 * std::numbers::pi * kNotesHz[note] * t);
}

double SyntheticAudioEndpoint::Speech(double t) {
    // Phrases of 2.4 s with 0.8 s pauses; about four syllables a second inside a phrase.
    if (std::fmod(t, 3.2) > 2.4)
        return 0.0;
    const double syllable = std::sin(2.0 * std::numbers::pi * 4.0 * t);
    const double envelope = syllable > 0.0 ? syllable * syllable : 0.0;
    // The pitch glides around 140 Hz; the phase is its integral.
    constexpr double kGlideHz = 0.7;
    constexpr double kGlideDepth = 30.0;
    const double pitch = 140.0 + kGlideDepth * std::sin(2.0 * std::numbers::pi * kGlideHz * t);
    const double phase = 2.0 * std::numbers::pi *
                         (140.0 * t - kGlideDepth / (2.0 * std::numbers::pi * kGlideHz) *
                                          std::cos(2.0 * std::numbers::pi * kGlideHz * t));
    // Harmonics weighted by two vowel-like formants near 700 Hz and 1200 Hz.
    double sum = 0.0;
    for (int k = 1; k <= 16; ++k) {
        const double hz = k * pitch;
        const double f1 = (hz - 700.0) / 250.0;
        const double f2 = (hz - 1200.0) / 350.0;
        const double weight = std::exp(-f1 * f1) + 0.6 * std::exp(-f2 * f2) + 0.2 / k;
        sum += weight * std::sin(k * phase);
    }
    return envelope * sum * 0.15;  // peaks near full scale at amplitude 1
}

void SyntheticAudioEndpoint::Generate(uint32_t frames) {
    const uint32_t channels = m_stream.format.channels;
    float* asFloat = reinterpret_cast<float*>(m_buffer.data());
    int16_t* asShort = reinterpret_cast<int16_t*>(m_buffer.data());
    for (uint32_t f = 0; f < frames; ++f) {
        const double first = Sample(m_produced + f, 0);
        for (uint32_t c = 0; c < channels; ++c) {
            // Noise differs per channel; a tone is the same on all of them.
            const double value = c == 0 || m_stream.waveform != SyntheticStream::Waveform::kNoise
                                     ? first
                                     : Sample(0, c);
            const size_t index = static_cast<size_t>(f) * channels + c;
            if (m_stream.format.isFloat) {
                asFloat[index] = static_cast<float>(value);
            } else {
                asShort[index] = static_cast<int16_t>(std::clamp(value, -1.0, 1.0) * 32767.0);
            }
        }
    }
}

}  // namespace tamro::platform
