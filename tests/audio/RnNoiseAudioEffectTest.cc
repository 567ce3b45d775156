#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include "audio/SoftLimiter.h"
#include "tamro/RnNoiseAudioEffect.h"

namespace tamro::test {
namespace {

constexpr size_t kTenMsStereo = 960;

AudioEncodingProperties FloatFormat(uint32_t rate, uint32_t channels) {
    AudioEncodingProperties format = AudioEncodingProperties::CreatePcm(rate, channels, 32);
    format.Subtype = kFloatSubtype;
    return format;
}

// Alternating +level/-level: its RMS is exactly `level`.
std::vector<float> SquareFrame(float level, size_t count = kTenMsStereo) {
    std::vector<float> frame(count);
    for (size_t i = 0; i < count; ++i) {
        frame[i] = (i / 2) % 2 == 0 ? level : -level;
    }
    return frame;
}

// An effect without noise removal: the level the gain sees is the frame's own RMS.
std::unique_ptr<RnNoiseAudioEffect> GainOnlyEffect() {
    auto effect = std::make_unique<RnNoiseAudioEffect>();
    effect->SetProperties({{"Mode", int32_t{0}}});
    effect->SetEncodingProperties(FloatFormat(48000, 2));
    return effect;
}

TEST(RnNoiseAudioEffectTest, OffersFloatAt48kHzAndClampsItsProperties) {
    RnNoiseAudioEffect effect;
    EXPECT_TRUE(effect.UseInputFrameForOutput()) << "processed in place";
    EXPECT_EQ(effect.SupportedEncodingProperties(),
              (std::vector{FloatFormat(48000, 1), FloatFormat(48000, 2)}));
    EXPECT_EQ(effect.CurrentState().strength, 1u);
    EXPECT_EQ(effect.CurrentState().mode, 2u);
    EXPECT_FALSE(effect.CurrentState().hasProcessor)
        << "nothing is created before the format is known";

    EXPECT_EQ(effect.SetProperties({{"Strength", int32_t{7}}, {"Mode", int32_t{-1}}}), kOk);
    EXPECT_EQ(effect.CurrentState().strength, 2u);
    EXPECT_EQ(effect.CurrentState().mode, 0u);

    EXPECT_EQ(effect.SetProperties({{"Mode", int32_t{1}}}), kOk);
    EXPECT_EQ(effect.CurrentState().strength, 2u) << "a missing key keeps its value";
    EXPECT_EQ(effect.CurrentState().mode, 1u);

    EXPECT_EQ(effect.SetProperties({{"Strength", std::string("0")}, {"Mode", int32_t{2}}}),
              kInvalidArg);
    EXPECT_EQ(effect.CurrentState().strength, 2u);
    EXPECT_EQ(effect.CurrentState().mode, 2u) << "the well-typed key still applies";
}

TEST(RnNoiseAudioEffectTest, BoostMovesAtTheRatesOfOneUnitPerTenMillisecondsAndHoldsOnSilence) {
    auto effect = GainOnlyEffect();
    // Level 0.045 wants a boost of 2: rising, at 0.005 per 10 ms.
    auto frame = SquareFrame(0.045f);
    ASSERT_EQ(effect->ProcessFrame(frame), kOk);
    auto state = effect->CurrentState();
    EXPECT_NEAR(state.levelAvg, 0.045, 1e-7) << "the first level is taken as it is";
    const double boost = 0.995 + 0.005 * 2.0;
    EXPECT_NEAR(state.boost, boost, 1e-7);
    EXPECT_NEAR(state.gain, 0.92 + 0.08 * boost, 1e-7);

    // A frame at the silence threshold leaves the boost and the level while the gain follows.
    frame = SquareFrame(0.02f);
    effect->ProcessFrame(frame);
    const auto silent = effect->CurrentState();
    EXPECT_EQ(silent.boost, state.boost);
    EXPECT_EQ(silent.levelAvg, state.levelAvg);
    EXPECT_NEAR(silent.gain, 0.92 * state.gain + 0.08 * state.boost, 1e-9);

    // 120 ms frames (k = 12) lift the boost to its ceiling of 2.5 quickly; then a loud 10 ms
    // frame wants less, the level average moves 1 %, and the boost falls at 0.02.
    for (int i = 0; i < 200; ++i) {
        frame = SquareFrame(0.03f, 12 * kTenMsStereo);
        effect->ProcessFrame(frame);
    }
    const auto before = effect->CurrentState();
    ASSERT_NEAR(before.boost, 2.5, 0.01);
    frame = SquareFrame(0.9f);
    effect->ProcessFrame(frame);
    state = effect->CurrentState();
    EXPECT_NEAR(state.levelAvg, 0.99 * before.levelAvg + 0.01 * 0.9, 1e-7);
    const double desired = std::clamp(0.09 / state.levelAvg, 1.0, 2.5);
    ASSERT_LT(desired, before.boost);
    EXPECT_NEAR(state.boost, 0.98 * before.boost + 0.02 * desired, 1e-6);
    EXPECT_NEAR(state.gain, 0.92 * before.gain + 0.08 * state.boost, 1e-6);
}

TEST(RnNoiseAudioEffectTest, ModeZeroCreatesNoProcessorButStillLimits) {
    RnNoiseAudioEffect effect;
    effect.SetProperties({{"Mode", int32_t{0}}, {"Strength", int32_t{2}}});
    effect.SetEncodingProperties(FloatFormat(48000, 2));
    EXPECT_FALSE(effect.CurrentState().hasProcessor);
    // Loud enough that the boost stays at 1, so the limiter sees the input as it is.
    std::vector<float> frame(kTenMsStereo, 0.5f);
    frame[0] = 1.1f;
    frame[1] = -1.5f;
    ASSERT_EQ(effect.ProcessFrame(frame), kOk);
    ASSERT_EQ(effect.CurrentState().gain, 1.0);
    EXPECT_FLOAT_EQ(frame[0], SoftLimiter{}(1.1f)) << "the recorder's limiter";
    EXPECT_FLOAT_EQ(frame[1], -1.0f);
    EXPECT_FLOAT_EQ(frame[2], 0.5f) << "no processor, so no delay";
}

TEST(RnNoiseAudioEffectTest, TheProcessorFollowsDiscardFormatAndClose) {
    RnNoiseAudioEffect effect;
    ASSERT_EQ(effect.SetEncodingProperties(FloatFormat(48000, 2)), kOk);
    ASSERT_TRUE(effect.CurrentState().hasProcessor);
    for (int round = 0; round < 2; ++round) {
        auto frame = SquareFrame(0.3f);
        effect.ProcessFrame(frame);
        EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](float x) { return x == 0.0f; }))
            << "round " << round << ": the first 10 ms after a start are the processor's delay";
        effect.DiscardQueuedFrames();
    }

    // A new format hands the old state to the new processor.
    effect.SetEncodingProperties(FloatFormat(48000, 1));
    EXPECT_TRUE(effect.CurrentState().processorWarm);
    EXPECT_EQ(effect.CurrentState().channels, 1u);
    effect.SetEncodingProperties(FloatFormat(44100, 0));
    EXPECT_EQ(effect.CurrentState().channels, 1u) << "0 channels count as 1";
    // Bypassed at 44.1 kHz: no delay, and the samples only go through 16-bit and back.
    auto frame = SquareFrame(0.3f);
    effect.ProcessFrame(frame);
    EXPECT_NEAR(frame[0], 0.3f, 1e-4);

    effect.Close();
    EXPECT_FALSE(effect.CurrentState().hasProcessor);
    frame = SquareFrame(0.3f);
    effect.ProcessFrame(frame);
    EXPECT_NEAR(frame[0], 0.3f, 1e-6) << "after Close only gain and limiting run";
}

// White noise at -30 dBFS with 1 kHz tone bursts, through the build's real denoiser, in the
// output thread's block size. Levels are compared in windows away from the burst edges, after
// the first periods in which the denoiser learns the noise and the gain settles.
TEST(RnNoiseAudioEffectTest, RealDenoiserLowersNoiseBetweenBurstsAndKeepsTheBursts) {
    constexpr size_t kRate = 48000;
    constexpr size_t kPeriod = kRate * 3 / 2;  // 1.5 s: 900 ms gap, then a 600 ms burst
    constexpr size_t kBurstStart = kRate * 9 / 10;
    constexpr size_t kPeriods = 8;
    constexpr size_t kMeasuredFrom = 4;  // periods before are warm-up
    constexpr size_t kDelay = 480;       // the processor's one frame

    std::mt19937 random(11);
    std::normal_distribution<float> noise(0.0f, 0.0316f);
    const size_t frames = kPeriod * kPeriods;
    std::vector<float> input(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const bool burst = i % kPeriod >= kBurstStart;
        const float tone =
            burst ? 0.15f * static_cast<float>(std::sin(2 * std::numbers::pi * 1000.0 * i / kRate))
                  : 0.0f;
        input[2 * i] = input[2 * i + 1] = tone + noise(random);
    }

    RnNoiseAudioEffect effect;
    ASSERT_EQ(effect.SetEncodingProperties(FloatFormat(48000, 2)), kOk);
    std::vector<float> output = input;
    for (size_t start = 0; start + 2048 <= output.size(); start += 2048) {
        ASSERT_EQ(effect.ProcessFrame(std::span(output).subspan(start, 2048)), kOk);
    }

    // Energy of frames [from, to) of period p, in and out (shifted by the delay).
    auto rms = [&](const std::vector<float>& signal, size_t from, size_t to, size_t shift) {
        double sum = 0.0;
        for (size_t i = from + shift; i < to + shift; ++i) {
            sum += double(signal[2 * i]) * signal[2 * i];
        }
        return std::sqrt(sum / double(to - from));
    };
    auto db = [](double ratio) { return 20.0 * std::log10(ratio); };
    double worstNoise = -1000.0;
    double worstBurst = 0.0;
    for (size_t p = kMeasuredFrom; p < kPeriods; ++p) {
        const size_t base = p * kPeriod;
        const size_t gapFrom = base + kRate * 4 / 10;  // the gate's hangover has passed
        const size_t gapTo = base + kBurstStart - kRate / 20;
        const size_t burstFrom = base + kBurstStart + kRate / 5;
        const size_t burstTo = base + kPeriod - kRate / 20;
        const double noiseChange =
            db(rms(output, gapFrom, gapTo, kDelay) / rms(input, gapFrom, gapTo, 0));
        const double burstChange =
            db(rms(output, burstFrom, burstTo, kDelay) / rms(input, burstFrom, burstTo, 0));
        worstNoise = std::max(worstNoise, noiseChange);
        worstBurst = std::abs(burstChange) > std::abs(worstBurst) ? burstChange : worstBurst;
    }
    std::printf("[          ] noise between bursts %+.1f dB (worst period), bursts %+.1f dB\n",
                worstNoise, worstBurst);
    EXPECT_LE(worstNoise, -10.0);
    EXPECT_LE(std::abs(worstBurst), 3.0);
}

}  // namespace
}  // namespace tamro::test
