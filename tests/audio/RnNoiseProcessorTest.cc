#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/RnNoiseProcessor.h"

namespace tamro::test {
namespace {

constexpr size_t kFrame = RnNoiseProcessor::kFrameSamples;

// What the scripted denoisers of one pool share: the probability they report and their counts.
struct Script {
    float probability = 1.0f;
    int created = 0;
    int destroyed = 0;
    bool failCreate = false;
};

// Passes audio through untouched and reports the scripted voice probability, so the gate, the
// ramp and the fade are all that shape the output.
class ScriptedDenoiser final : public platform::Denoiser {
  public:
    explicit ScriptedDenoiser(Script& script) : m_script(script) { ++m_script.created; }
    ~ScriptedDenoiser() override { ++m_script.destroyed; }
    float ProcessFrame(float* out, const float* in) noexcept override {
        std::copy(in, in + kFrameSamples, out);
        return m_script.probability;
    }

  private:
    Script& m_script;
};

struct ScriptedPool {
    Script script;
    DenoiserPool pool{[this]() -> std::unique_ptr<platform::Denoiser> {
        if (script.failCreate) {
            return nullptr;
        }
        return std::make_unique<ScriptedDenoiser>(script);
    }};
};

// The processor's output for one mono input value `x` at output position `k` after the start,
// with the gate fully open: a raised-cosine fade over the first 1440 samples.
int16_t OpenGateOutput(float x, size_t k) {
    const double fade = (1.0 - std::cos(std::numbers::pi * static_cast<double>(k) / 1440.0)) * 0.5;
    const float y = k < 1440 ? x * static_cast<float>(fade) : x;
    return static_cast<int16_t>(std::lroundf(y));
}

// Output position n carries mono input n - 480 (the mean of channels 0 and 1) whatever the block
// sizes, fading in again after every start; only channels 0 and 1 are written.
class RnNoiseDelayTest : public testing::TestWithParam<uint32_t> {};

TEST_P(RnNoiseDelayTest, DelayIsExactlyOneFrameWhateverTheBlockSizes) {
    const uint32_t channels = GetParam();
    ScriptedPool pool;
    RnNoiseProcessor processor(pool.pool);
    processor.Initialize(48000, channels);
    ASSERT_TRUE(processor.IsReady());
    ASSERT_FALSE(processor.IsBypassed());
    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> blockFrames(1, 3000);
    auto mono = [](size_t n) {
        return static_cast<float>(static_cast<int>(n * 37 % 20001) - 10000);
    };
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start == 0 ? "first start" : "after a reset");
        for (size_t position = 0; position < 30'000;) {
            const size_t frames = blockFrames(random);
            std::vector<int16_t> block(frames * channels);
            for (size_t i = 0; i < frames; ++i) {
                const auto m = static_cast<int16_t>(mono(position + i));
                // Channels 0 and 1 straddle the mono value; a third carries a marker.
                const int16_t in[] = {static_cast<int16_t>(channels > 1 ? m + 1000 : m),
                                      static_cast<int16_t>(m - 1000), 1234};
                std::copy_n(in, channels, &block[i * channels]);
            }
            processor.Process(block.data(), block.size());
            for (size_t i = 0; i < frames; ++i, ++position) {
                const int16_t expected =
                    position < kFrame ? 0
                                      : OpenGateOutput(mono(position - kFrame), position - kFrame);
                for (uint32_t c = 0; c < channels; ++c) {
                    ASSERT_EQ(block[i * channels + c], c < 2 ? expected : 1234)
                        << "position " << position << ", channel " << c;
                }
            }
        }
        processor.Reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, RnNoiseDelayTest, testing::Values(1u, 2u, 3u));

TEST(RnNoiseProcessorTest, GateHoldsForTheHangoverThenFallsSlowlyAndRisesFast) {
    constexpr int16_t kValue = 20000;
    ScriptedPool pool;
    RnNoiseProcessor processor(pool.pool);
    processor.Initialize(48000, 1);
    // Mono, one frame per call: call n processes frame n and writes back frame n - 1.
    auto frame = [&](float probability) {
        pool.script.probability = probability;
        std::vector<int16_t> block(kFrame, kValue);
        processor.Process(block.data(), block.size());
        return block;
    };
    auto gainOf = [&](const std::vector<int16_t>& out) { return out.back() / double(kValue); };
    // Frames 0 to 5 are voiced (the fade is over after three).
    for (int i = 0; i < 6; ++i) {
        frame(0.9f);
    }
    // The last voiced frame counts towards the hangover of 8: it and the 7 frames after it
    // (6 to 12) are fully open.
    for (int i = 0; i < 8; ++i) {
        const auto out = frame(0.0f);
        ASSERT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t s) { return s == kValue; }))
            << "frame " << 5 + i;
    }
    // Frame 13 is the first to fall towards the floor of 0.15.
    double expected = 1.0;
    for (int n = 13; n < 18; ++n) {
        const auto out = frame(0.0f);
        const double before = expected;
        expected += (0.15 - expected) * 0.08;
        EXPECT_NEAR(gainOf(out), expected, 1e-4) << "frame " << n;
        // The gain moves linearly across the frame.
        EXPECT_NEAR(out[239] / double(kValue), before + 240 * (expected - before) / 480, 1e-4);
    }
    frame(0.6f);  // writes back frame 18, still falling; processes voiced frame 19
    expected += (0.15 - expected) * 0.08;
    expected += (1.0 - expected) * 0.6;
    EXPECT_NEAR(gainOf(frame(0.6f)), expected, 1e-4) << "rising frame";
}

TEST(RnNoiseProcessorTest, GateSettlesOnThePresetTarget) {
    struct Case {
        uint32_t preset;
        float floorScale;
        float probability;
        double settledGain;
    };
    for (const Case& c : {
             Case{2, 0.2f, 0.0f, 0.006},  // floor 0.03 scaled by 0.2
             Case{0, 1.0f, 0.0f, 0.5},
             Case{1, 1.0f, 0.0f, 0.15},
             // Half the threshold: smoothstep(0.5) = 0.5 of the way from the floor to 1.
             Case{1, 1.0f, 0.25f, 0.575},
             Case{2, 1.0f, 0.3f, 0.515},
             // Just under the threshold the gate is nearly open.
             Case{0, 1.0f, 0.19f, 0.5 + 0.5 * (3 - 2 * 0.95) * 0.95 * 0.95},
             // An unknown preset keeps the pair it had.
             Case{5, 1.0f, 0.0f, 0.15},
         }) {
        SCOPED_TRACE(testing::Message() << "preset " << c.preset << ", floor scale " << c.floorScale
                                        << ", probability " << c.probability);
        ScriptedPool pool;
        pool.script.probability = c.probability;
        RnNoiseProcessor processor(pool.pool);
        processor.Initialize(48000, 1);
        processor.SetStrengthPreset(c.preset);
        processor.m_floorScale = c.floorScale;
        std::vector<int16_t> block(kFrame);
        for (int i = 0; i < 200; ++i) {
            std::fill(block.begin(), block.end(), 30000);
            processor.Process(block.data(), block.size());
        }
        EXPECT_NEAR(block.back() / 30000.0, c.settledGain, 1e-4);
    }
}

// A 44.1 kHz stream, a pool that cannot create a state, and a released processor all leave the
// samples as they were and still report their level.
enum class BypassCause { kRate, kNoState, kReleased };

class RnNoiseBypassTest : public testing::TestWithParam<BypassCause> {};

TEST_P(RnNoiseBypassTest, PassesBlocksUnchangedWithTheirRms) {
    ScriptedPool pool;
    pool.script.failCreate = GetParam() == BypassCause::kNoState;
    RnNoiseProcessor processor(pool.pool);
    processor.Initialize(GetParam() == BypassCause::kRate ? 44100 : 48000, 2);
    if (GetParam() == BypassCause::kReleased) {
        processor.Release();
    }
    EXPECT_TRUE(processor.IsReady());
    EXPECT_TRUE(processor.IsBypassed());
    std::vector<int16_t> block(2048);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<int16_t>(i % 2 == 0 ? 16384 : -16384);
    }
    const auto original = block;
    processor.Process(block.data(), block.size());
    EXPECT_EQ(block, original);
    EXPECT_FLOAT_EQ(processor.OutputRms(), 0.5f);
    EXPECT_EQ(pool.script.created, GetParam() == BypassCause::kReleased ? 1 : 0);
    if (GetParam() == BypassCause::kReleased) {
        processor.Reset();  // takes its parked state back
        EXPECT_FALSE(processor.IsBypassed());
        EXPECT_TRUE(processor.IsWarm());
        EXPECT_EQ(pool.script.created, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Causes, RnNoiseBypassTest,
                         testing::Values(BypassCause::kRate, BypassCause::kNoState,
                                         BypassCause::kReleased));

TEST(RnNoisePoolTest, KeepsOneIdleStateAndDestroysTheRest) {
    ScriptedPool pool;
    auto first = std::make_unique<RnNoiseProcessor>(pool.pool);
    auto second = std::make_unique<RnNoiseProcessor>(pool.pool);
    first->Initialize(48000, 2);
    second->Initialize(48000, 2);
    EXPECT_EQ(pool.script.created, 2) << "the second processor gets a fresh state";
    EXPECT_FALSE(first->IsWarm());
    EXPECT_FALSE(second->IsWarm());

    first.reset();
    EXPECT_EQ(pool.script.destroyed, 0) << "the first release parks its state";
    second.reset();
    EXPECT_EQ(pool.script.destroyed, 1) << "the slot is taken: the second release destroys";

    RnNoiseProcessor third(pool.pool);
    third.Initialize(48000, 2);
    EXPECT_TRUE(third.IsWarm());
    EXPECT_EQ(pool.script.created, 2);
    third.Initialize(48000, 2);  // re-initialising hands the state back and takes it again
    EXPECT_TRUE(third.IsWarm());
    third.Initialize(44100, 2);
    EXPECT_FALSE(third.IsWarm());
    EXPECT_EQ(pool.script.created, 2);
    EXPECT_EQ(pool.script.destroyed, 1);
}

}  // namespace
}  // namespace tamro::test
