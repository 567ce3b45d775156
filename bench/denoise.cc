// Noise removal cost: the build's denoiser per 10 ms frame (480 samples at 48 kHz), the noise
// processor per output-thread block (1024 stereo frames), the camera-only effect per block of
// float PCM, and the creation of a denoiser state that the pool saves. "realtime" is seconds of
// audio handled per second of CPU.

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <span>
#include <vector>

#include "audio/RnNoiseProcessor.h"
#include "platform/audio/Denoiser.h"
#include "tamro/RnNoiseAudioEffect.h"

namespace tamro {
namespace {

constexpr size_t kRate = 48000;
constexpr size_t kBlockFrames = 1024;

// One second of mono voice-band tone bursts in -30 dBFS white noise, in [-1, 1].
std::vector<float> NoisyBursts() {
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.0316f);
    std::vector<float> signal(kRate);
    for (size_t i = 0; i < signal.size(); ++i) {
        const bool burst = i % (kRate / 2) >= kRate / 4;
        const double tone = burst ? 0.15 * std::sin(2 * std::numbers::pi * 1000.0 * i / kRate) : 0;
        signal[i] = static_cast<float>(tone) + noise(random);
    }
    return signal;
}

void SetRealtime(benchmark::State& state, double audioSecondsPerIteration) {
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * audioSecondsPerIteration,
                           benchmark::Counter::kIsRate);
}

void BM_DenoiserFrame(benchmark::State& state) {
    auto denoiser = platform::CreateDenoiser();
    if (!denoiser) {
        state.SkipWithError("no denoiser state");
        return;
    }
    std::vector<float> signal = NoisyBursts();
    for (float& x : signal) {
        x *= 32767.0f;
    }
    std::vector<float> out(platform::Denoiser::kFrameSamples);
    size_t offset = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(denoiser->ProcessFrame(out.data(), signal.data() + offset));
        offset = (offset + out.size()) % (signal.size() - out.size());
    }
    state.SetLabel(std::string(platform::DenoiserBackendName()));
    SetRealtime(state, 0.010);
}
BENCHMARK(BM_DenoiserFrame);

void BM_ProcessorBlock(benchmark::State& state) {
    const std::vector<float> signal = NoisyBursts();
    std::vector<int16_t> stereo(signal.size() * 2);
    for (size_t i = 0; i < signal.size(); ++i) {
        stereo[2 * i] = stereo[2 * i + 1] = static_cast<int16_t>(std::lrintf(signal[i] * 32767));
    }
    RnNoiseProcessor processor;
    processor.Initialize(48000, 2);
    std::vector<int16_t> block(kBlockFrames * 2);
    size_t offset = 0;
    for (auto _ : state) {
        std::copy_n(stereo.begin() + static_cast<ptrdiff_t>(offset), block.size(), block.begin());
        processor.Process(block.data(), block.size());
        benchmark::DoNotOptimize(block.data());
        offset = (offset + block.size()) % (stereo.size() - block.size());
    }
    SetRealtime(state, static_cast<double>(kBlockFrames) / kRate);
}
BENCHMARK(BM_ProcessorBlock);

void BM_EffectBlock(benchmark::State& state) {
    const std::vector<float> signal = NoisyBursts();
    std::vector<float> stereo(signal.size() * 2);
    for (size_t i = 0; i < signal.size(); ++i) {
        stereo[2 * i] = stereo[2 * i + 1] = signal[i];
    }
    RnNoiseAudioEffect effect;
    AudioEncodingProperties format = AudioEncodingProperties::CreatePcm(48000, 2, 32);
    format.Subtype = kFloatSubtype;
    effect.SetEncodingProperties(format);
    std::vector<float> block(kBlockFrames * 2);
    size_t offset = 0;
    for (auto _ : state) {
        std::copy_n(stereo.begin() + static_cast<ptrdiff_t>(offset), block.size(), block.begin());
        effect.ProcessFrame(block);
        benchmark::DoNotOptimize(block.data());
        offset = (offset + block.size()) % (stereo.size() - block.size());
    }
    SetRealtime(state, static_cast<double>(kBlockFrames) / kRate);
}
BENCHMARK(BM_EffectBlock);

// What a processor start costs without the pool.
void BM_CreateDenoiserState(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(platform::CreateDenoiser());
    }
}
BENCHMARK(BM_CreateDenoiserState)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tamro
