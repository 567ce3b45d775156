#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "SimulatedAudio.h"
#include "audio/BlockTiming.h"
#include "platform/audio/SyntheticAudioDevices.h"
#include "support/PrivatePulseServer.h"

namespace tamro::test {
namespace {

using platform::SyntheticStream;

struct Block {
    int64_t pts;
    int64_t duration;
    uint32_t bytes;
    float peak;
};

class AudioOutputTest : public ::testing::Test {
  protected:
    // A started capture of `mic` whose blocks go to m_blocks.
    std::unique_ptr<AudioCapture> Capture(const SyntheticStream& mic) {
        return StartSimulatedCapture(SyntheticSources(std::nullopt, mic), m_clock, Collect());
    }
    AudioCallback Collect() {
        return [this](const uint8_t* data, uint32_t bytes, int64_t pts, int64_t duration) {
            const auto* samples = reinterpret_cast<const int16_t*>(data);
            float peak = 0.0f;
            for (uint32_t i = 0; i < bytes / 2; ++i)
                peak = std::max(peak, std::fabs(samples[i] / 32768.0f));
            m_blocks.push_back({pts, duration, bytes, peak});
        };
    }

    SimulatedClock m_clock;
    std::vector<Block> m_blocks;
};

TEST_F(AudioOutputTest, BlocksAreStampedFromTheFramesSentLessTheLatency) {
    {
        ScopedEnvironment servoOff("TAMRO_AUDIO_DRIFT", "0");
        SyntheticStream mic;
        mic.latency100ns = 0;
        auto capture = Capture(mic);
        RunSimulatedOutput(*capture, m_clock, 0.1);
        capture->Stop();
    }
    ASSERT_GE(m_blocks.size(), 4u);
    EXPECT_EQ(m_blocks[0].pts, 0);
    EXPECT_EQ(m_blocks[1].pts, 213'333);
    EXPECT_EQ(m_blocks[2].pts, 426'666);
    EXPECT_EQ(m_blocks[3].pts, 640'000);
    EXPECT_EQ(m_blocks[1].duration, 213'333);
    EXPECT_EQ(m_blocks[1].bytes, 4096u);

    // With the servo's 128 ms prefill and 10 ms of device latency, the blocks before the first
    // instant are not delivered; the one across it is cut there, and the timeline runs on
    // without overlap.
    m_blocks.clear();
    auto capture = Capture(SyntheticStream{});
    RunSimulatedOutput(*capture, m_clock, 1.0);
    capture->Stop();
    ASSERT_GE(m_blocks.size(), 4u);
    const int64_t cut = 7 * 1024 * 10'000'000LL / 48000 - 1'380'000;
    // Block 6 starts 100 ms (480 frames) before the first instant.
    EXPECT_EQ(m_blocks[0].pts, 0);
    EXPECT_EQ(m_blocks[0].bytes, (1024u - 480u) * 4u);
    EXPECT_EQ(m_blocks[0].pts + m_blocks[0].duration, cut);
    EXPECT_EQ(m_blocks[1].pts, cut);
    EXPECT_EQ(m_blocks[1].bytes, 4096u);
    EXPECT_EQ(m_blocks[2].pts - m_blocks[1].pts, 213'333);
    EXPECT_GT(m_blocks.back().peak, 0.4f);

    // After the stop, the drain delivers what the rings hold (about 128 ms) up to the end time,
    // before the ring is empty.
    const size_t live = m_blocks.size();
    const int64_t end = m_blocks.back().pts + 3 * 213'333;
    capture->Drain(end);
    ASSERT_GT(m_blocks.size(), live);
    EXPECT_LE(m_blocks.size(), live + 4);
    EXPECT_LT(m_blocks.back().pts, end);
    EXPECT_GT(m_blocks.back().peak, 0.4f) << "real sound, not the zero fill";
    EXPECT_EQ(capture->MicRing().Used(), 0u);
}

TEST(AudioBlockCutTest, OnlyThePartFromTheFirstInstantOnIsKept) {
    struct Case {
        int64_t pts;
        std::optional<uint32_t> skipped;
        int64_t keptPts;
    };
    for (const Case& c : {
             Case{0, 0, 0},
             Case{213'333, 0, 213'333},
             Case{-1, 1, 207},                 // under one frame early: that frame goes
             Case{-208, 1, 0},                 // exactly one frame (208.33 units) early
             Case{-209, 2, 207},               // just over one frame: two go
             Case{-100'000, 480, 0},           // 10 ms early at 48 kHz
             Case{-213'100, 1023, 25},         // all but the last frame
             Case{-213'333, std::nullopt, 0},  // the whole block
             Case{-1'380'000, std::nullopt, 0},
         }) {
        SCOPED_TRACE(c.pts);
        const auto visible = VisiblePart(c.pts, 1024, 48000);
        ASSERT_EQ(visible.has_value(), c.skipped.has_value());
        if (visible) {
            EXPECT_EQ(visible->skippedFrames, *c.skipped);
            EXPECT_EQ(visible->pts, c.keptPts);
        }
    }
}

TEST_F(AudioOutputTest, DeadMicrophoneIsFlaggedAfterThreeSecondsAndClearsWhenAudioReturns) {
    SyntheticStream mic;
    mic.gaps.push_back({.fromNs = 0, .toNs = 5'000'000'000});
    auto capture = Capture(mic);
    RunSimulatedOutput(*capture, m_clock, 2.5);
    EXPECT_FALSE(capture->IsMicrophoneSilent());
    RunSimulatedOutput(*capture, m_clock, 0.6);
    EXPECT_TRUE(capture->IsMicrophoneSilent()) << "three windows of about a second without audio";
    RunSimulatedOutput(*capture, m_clock, 3.0);
    EXPECT_FALSE(capture->IsMicrophoneSilent());
    capture->Stop();
    EXPECT_GT(capture->FramesSent(), 280u * 1024u) << "the recording went on throughout";
}

}  // namespace
}  // namespace tamro::test
