// The output thread's work per second of stereo audio at 48 kHz: one OutputMixer block (declick,
// levels, gains, ducking, mix, limiter, 16-bit output) with and without noise removal on the
// microphone, fed a voiced microphone over noise and a tone on the system sound.

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/OutputMixer.h"
#include "audio/RnNoiseProcessor.h"

namespace tamro {
namespace {

constexpr size_t kBlock = OutputMixer::kBlockSamples;
constexpr double kBlocksPerSecond = 48000.0 / (kBlock / 2);

// A second of input, so the denoiser sees changing audio rather than one block over and over.
struct Input {
    Input() : mic(48000 * 2), sys(48000 * 2) {
        std::mt19937 random(7);
        std::normal_distribution<float> noise(0.0f, 0.03f);
        for (size_t frame = 0; frame < 48000; ++frame) {
            const double t = frame / 48000.0;
            const double voice = std::sin(2 * std::numbers::pi * 4 * t) > 0
                                     ? 0.2 * std::sin(2 * std::numbers::pi * 180 * t)
                                     : 0.0;
            const float m = static_cast<float>(voice) + noise(random);
            const auto s = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * t));
            mic[2 * frame] = mic[2 * frame + 1] = m;
            sys[2 * frame] = sys[2 * frame + 1] = s;
        }
    }
    std::vector<float> mic;
    std::vector<float> sys;
};

void BM_OutputBlock(benchmark::State& state) {
    const bool denoise = state.range(0) != 0;
    static const Input input;
    OutputMixer mixer;
    mixer.ConfigureLevels({});
    mixer.SetDuckingEnabled(true);
    RnNoiseProcessor processor;
    processor.Initialize(48000, 2);
    size_t at = 0;
    for (auto _ : state) {
        std::copy_n(input.mic.begin() + at, kBlock, mixer.MicBlock());
        std::copy_n(input.sys.begin() + at, kBlock, mixer.SystemBlock());
        at = (at + kBlock) % (input.mic.size() - kBlock);
        mixer.Process({.micGot = kBlock,
                       .sysGot = kBlock,
                       .micCaptured = true,
                       .sysCaptured = true,
                       .denoiser = denoise ? &processor : nullptr});
        benchmark::DoNotOptimize(mixer.Output());
    }
    // CPU seconds the output thread spends on each second of audio.
    state.counters["cpu_s_per_audio_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / kBlocksPerSecond,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OutputBlock)->Arg(0)->Arg(1)->ArgName("denoise");

}  // namespace
}  // namespace tamro
