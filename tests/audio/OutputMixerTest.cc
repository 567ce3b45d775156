#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "audio/DenoiserPool.h"
#include "audio/OutputMixer.h"
#include "audio/RnNoiseProcessor.h"
#include "audio/SoftLimiter.h"

namespace tamro {
namespace {

constexpr size_t kBlock = OutputMixer::kBlockSamples;

TEST(SoftLimiterTest, KneeIsContinuousAndTheCurveNeverFalls) {
    const SoftLimiter limit;
    // Above the knee: (1/3 + 1) * 0.5 * 0.1 + 0.7 + (1.1 - 0.8) / 3.
    EXPECT_NEAR(limit(1.1f), 0.8667f, 1e-4f);
    EXPECT_NEAR(limit(-1.1f), -0.8667f, 1e-4f);
    EXPECT_EQ(limit(1.5f), 1.0f);
    EXPECT_EQ(limit(-7.0f), -1.0f);
    EXPECT_EQ(limit(0.5f), 0.5f);
    // Inside the knee the slope eases from 1 to 1/3: 0.05 into it gives 0.05 * 5/6.
    EXPECT_NEAR(limit(0.75f), 0.7 + 0.05 * 5.0 / 6.0, 1e-5f);
    float previous = 0.0f;
    for (float y = 0.0f; y <= 2.0f; y += 0.0005f) {
        const float out = limit(y);
        ASSERT_GE(out, previous) << "at " << y;
        ASSERT_LT(out - previous, 0.001f) << "a step at " << y;
        previous = out;
    }
}

TEST(OutputMixerTest, ShortReadsFadeOutAndTheNextBlockFadesIn) {
    std::vector<float> block(kBlock, 1.0f);
    bool shortLast = false;
    // 700 frames after a full block: frames 636..699 fade out, the zero fill stays zero.
    std::fill(block.begin() + 1400, block.end(), 0.0f);
    OutputMixer::Declick(block.data(), 1400, &shortLast);
    EXPECT_TRUE(shortLast);
    EXPECT_EQ(block[2 * 635], 1.0f);
    EXPECT_FLOAT_EQ(block[2 * 636], 64.0f / 65.0f);
    EXPECT_FLOAT_EQ(block[2 * 699 + 1], 1.0f / 65.0f);
    EXPECT_EQ(block[2 * 700], 0.0f);

    std::fill(block.begin(), block.end(), 1.0f);
    OutputMixer::Declick(block.data(), kBlock, &shortLast);
    EXPECT_FALSE(shortLast);
    EXPECT_FLOAT_EQ(block[0], 1.0f / 65.0f);
    EXPECT_FLOAT_EQ(block[2 * 63], 64.0f / 65.0f);
    EXPECT_EQ(block[2 * 64], 1.0f);
    EXPECT_EQ(block[kBlock - 1], 1.0f);
}

class OutputMixerLevelsTest : public ::testing::Test {
  protected:
    OutputMixerLevelsTest() {
        m_mixer.ConfigureLevels({.agcMinGain = 1.0,
                                 .agcMaxGain = 2.5,
                                 .agcTargetLevel = 0.09,
                                 .limiterThreshold = 0.7,
                                 .limiterKneeEnd = 0.8,
                                 .limiterRatio = 3.0,
                                 .gainSmoothing = 0.15});
    }

    // `blocks` blocks of a steady microphone level and system level.
    void Run(int blocks, float mic, float sys, RnNoiseProcessor* denoiser = nullptr) {
        for (int i = 0; i < blocks; ++i) {
            std::fill_n(m_mixer.MicBlock(), kBlock, mic);
            std::fill_n(m_mixer.SystemBlock(), kBlock, sys);
            m_mixer.Process({.micGot = kBlock,
                             .sysGot = kBlock,
                             .micCaptured = true,
                             .sysCaptured = true,
                             .denoiser = denoiser});
        }
    }

    OutputMixer m_mixer;
};

TEST_F(OutputMixerLevelsTest, AutomaticGainHoldsOnQuietInputAndRisesOnSpeech) {
    ASSERT_TRUE(m_mixer.AgcEnabled());
    Run(200, 0.02f, 0.0f);
    EXPECT_EQ(m_mixer.AgcGain(), 1.0) << "a level of 0.02 or below leaves the gain alone";
    Run(2000, 0.05f, 0.0f);
    EXPECT_NEAR(m_mixer.AgcGain(), 0.09 / 0.05, 0.01);
    EXPECT_NEAR(m_mixer.MicGainApplied(), 0.09 / 0.05, 0.01);
    // Speech now quiet again: the gain stays where it got to.
    Run(100, 0.01f, 0.0f);
    EXPECT_NEAR(m_mixer.AgcGain(), 0.09 / 0.05, 0.01);
}

TEST_F(OutputMixerLevelsTest, SystemGainConvergesAndDucksUnderSpeech) {
    m_mixer.SetSystemVolume(1.0);
    Run(200, 0.0f, 0.1f);
    EXPECT_NEAR(m_mixer.SystemGainApplied(), 1.25, 1e-3);
    EXPECT_NEAR(m_mixer.Mix()[0], 0.125f, 1e-3f);
    EXPECT_EQ(m_mixer.Output()[0], static_cast<int16_t>(m_mixer.Mix()[0] * 32767.0f));

    m_mixer.SetDuckingEnabled(true);
    m_mixer.SetDuckLevelDb(-12.0);
    Run(200, 0.2f, 0.1f);
    EXPECT_NEAR(m_mixer.DuckGain(), std::pow(10.0, -12.0 / 20.0), 1e-3);
    EXPECT_NEAR(m_mixer.SystemGainApplied(), 1.25 * std::pow(10.0, -12.0 / 20.0), 1e-2);
    // Speech ends: the system sound comes back slowly.
    Run(500, 0.0f, 0.1f);
    EXPECT_GT(m_mixer.DuckGain(), 0.95f);
    m_mixer.SetDuckingEnabled(false);
    EXPECT_EQ(m_mixer.DuckGain(), 1.0f);
}

TEST_F(OutputMixerLevelsTest, LevelsCountOnlyTheSamplesRead) {
    std::fill_n(m_mixer.MicBlock(), kBlock, 0.0f);
    std::fill_n(m_mixer.MicBlock(), 1024, 0.5f);
    std::fill_n(m_mixer.SystemBlock(), kBlock, 0.0f);
    m_mixer.Process({.micGot = 1024, .sysGot = 0, .micCaptured = true, .sysCaptured = false});
    // The faded tail lowers the level a little below the 0.5 read.
    EXPECT_NEAR(m_mixer.RawMicRms(), 0.5f, 0.03f);
    EXPECT_EQ(m_mixer.SystemRms(), 0.0f);
}

// A denoiser that passes audio through and reports voice with a set probability.
class PassThrough final : public platform::Denoiser {
  public:
    float ProcessFrame(float* out, const float* in) noexcept override {
        std::copy_n(in, kFrameSamples, out);
        return 1.0f;
    }
};

TEST_F(OutputMixerLevelsTest, NoiseRemovalRunsOnTheMicrophoneAndGatesDeeperWhenBoosted) {
    DenoiserPool pool([] { return std::make_unique<PassThrough>(); });
    RnNoiseProcessor denoiser(pool);
    denoiser.Initialize(48000, 2);
    Run(400, 0.04f, 0.0f, &denoiser);
    EXPECT_TRUE(m_mixer.DenoisedLastBlock());
    EXPECT_NEAR(m_mixer.MicRms(), denoiser.OutputRms(), 1e-6f);
    EXPECT_NEAR(m_mixer.MicRms(), 0.04f, 0.001f);
    // Boosted by about 2.25: the floor is scaled by 1 / 2.25.
    EXPECT_NEAR(denoiser.m_floorScale, 1.0 / m_mixer.AgcGain(), 1e-3);
    EXPECT_GT(m_mixer.AgcGain(), 2.0);
}

}  // namespace
}  // namespace tamro
