#include <gtest/gtest.h>

#include "tamro/RecordingConfig.h"
#include "tamro/RecordingProgress.h"

namespace tamro::test {
namespace {

// The defaults a caller gets without setting anything, among those the recorder reads.
TEST(RecordingConfigTest, FreshConfigHoldsTheRecordingDefaults) {
    const RecordingConfig c;
    EXPECT_EQ(c.CaptureMode(), 0);
    EXPECT_EQ(c.Width(), 1920);
    EXPECT_EQ(c.Height(), 1080);
    EXPECT_EQ(c.FrameRate(), 30);
    EXPECT_EQ(c.Bitrate(), 4'000'000);
    EXPECT_TRUE(c.CaptureCursor());
    EXPECT_EQ(c.VideoProfile(), 1);
    EXPECT_EQ(c.QualityVsSpeed(), 50);
    EXPECT_TRUE(c.EnableCabac());
    EXPECT_EQ(c.BFrameCount(), 0);
    EXPECT_EQ(c.KeyframeIntervalSeconds(), 1);
    EXPECT_EQ(c.AudioSampleRate(), 48'000);
    EXPECT_EQ(c.AudioChannels(), 2);
    EXPECT_EQ(c.AudioBitrate(), 192'000);
    EXPECT_TRUE(c.CaptureMicrophone());
    EXPECT_TRUE(c.CaptureSystemAudio());
    EXPECT_FALSE(c.CaptureWindowAudioOnly());
    EXPECT_EQ(c.MicrophoneVolume(), 1.0);
    EXPECT_EQ(c.SystemVolume(), 0.5);
    EXPECT_FALSE(c.NoiseSuppression());
    EXPECT_EQ(c.NoiseStrength(), 1);
    EXPECT_FALSE(c.DuckingEnabled());
    EXPECT_EQ(c.DuckLevelDb(), -12.0);
    EXPECT_EQ(c.AgcMinGain(), 1.0);
    EXPECT_EQ(c.AgcMaxGain(), 4.0);
    EXPECT_EQ(c.AgcTargetLevel(), 0.3);
    EXPECT_EQ(c.AgcTuningA(), 3.5);
    EXPECT_EQ(c.AgcTuningB(), 1.2);
    EXPECT_EQ(c.GainSmoothing(), 0.15);
    EXPECT_EQ(c.LimiterThreshold(), 0.7);
    EXPECT_EQ(c.LimiterKneeEnd(), 0.8);
    EXPECT_EQ(c.LimiterRatio(), 3.0);
}

TEST(RecordingProgressTest, EstimateIsEightMegabitsPerSecondTruncated) {
    EXPECT_EQ(RecordingProgress::EstimateBytes(0.0), 0);
    EXPECT_EQ(RecordingProgress::EstimateBytes(2.5), 2'500'000);
    EXPECT_EQ(RecordingProgress::EstimateBytes(1.0000019), 1'000'001);
}

}  // namespace
}  // namespace tamro::test
