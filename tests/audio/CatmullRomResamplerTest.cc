#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/CatmullRomResampler.h"

namespace tamro::test {
namespace {

std::vector<float> StereoSine(size_t frames, double cyclesPerFrame) {
    std::vector<float> samples(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const float v =
            static_cast<float>(0.8 * std::sin(2.0 * std::numbers::pi * cyclesPerFrame * i));
        samples[i * 2] = v;
        samples[i * 2 + 1] = -v;
    }
    return samples;
}

TEST(CatmullRomResamplerTest, BlockBoundariesLeaveNoTrace) {
    const std::vector<float> input = StereoSine(20000, 440.0 / 44100.0);
    for (const double step : {44100.0 / 48000.0, 48000.0 / 44100.0, 1.0, 1.003, 0.9968}) {
        SCOPED_TRACE(step);
        CatmullRomResampler whole;
        std::vector<float> once;
        whole.Process(input.data(), 20000, step, &once);

        CatmullRomResampler pieces;
        std::vector<float> blocks;
        std::mt19937 random(7);
        std::uniform_int_distribution<size_t> length(1, 700);
        for (size_t at = 0; at < 20000;) {
            const size_t n = std::min(length(random), 20000 - at);
            pieces.Process(input.data() + at * 2, n, step, &blocks);
            at += n;
        }
        ASSERT_EQ(blocks.size(), once.size());
        double worst = 0.0;
        for (size_t i = 0; i < once.size(); ++i) {
            worst = std::max(worst, static_cast<double>(std::fabs(blocks[i] - once[i])));
        }
        EXPECT_LT(worst, 1e-4);
    }
}

TEST(CatmullRomResamplerTest, FollowsTheSignalWithTwoFramesDelay) {
    const double cycles = 1000.0 / 48000.0;
    const std::vector<float> input = StereoSine(4800, cycles);
    CatmullRomResampler resampler;
    std::vector<float> output;
    const double step = 44100.0 / 48000.0;
    resampler.Process(input.data(), 4800, step, &output);
    ASSERT_GT(output.size(), 1000u);
    for (size_t j = 10; j < output.size() / 2 - 10; ++j) {
        const double t = j * step - 2.0;  // input frames
        const double expected = 0.8 * std::sin(2.0 * std::numbers::pi * cycles * t);
        ASSERT_NEAR(output[j * 2], expected, 2e-3) << j;
        ASSERT_EQ(output[j * 2 + 1], -output[j * 2]);
    }
    EXPECT_EQ(resampler.Process(input.data(), 0, 1.0, &output), 0u) << "no input";
    EXPECT_EQ(resampler.Process(input.data(), 441, 0.0, &output), 0u) << "no step";
}

}  // namespace
}  // namespace tamro::test
