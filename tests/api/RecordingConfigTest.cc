#include <gtest/gtest.h>

#include "tamro/RecordingConfig.h"
#include "tamro/RecordingProgress.h"

namespace tamro::test {
namespace {

TEST(RecordingConfigTest, FreshConfigHoldsEveryDefault) {
    const RecordingConfig c;
    EXPECT_EQ(c.OutputPath(), "");
    EXPECT_EQ(c.CaptureMode(), 0);
    EXPECT_EQ(c.MonitorHandle(), 0u);
    EXPECT_EQ(c.WindowHandle(), 0u);
    EXPECT_EQ(c.CaptureRegion().X, 0);
    EXPECT_EQ(c.CaptureRegion().Y, 0);
    EXPECT_EQ(c.CaptureRegion().Width, 0);
    EXPECT_EQ(c.CaptureRegion().Height, 0);
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
    EXPECT_TRUE(c.CaptureMicrophone());
    EXPECT_TRUE(c.CaptureSystemAudio());
    EXPECT_FALSE(c.CaptureWindowAudioOnly());
    EXPECT_EQ(c.MicrophoneDeviceId(), "");
    EXPECT_EQ(c.MicrophoneVolume(), 1.0);
    EXPECT_EQ(c.SystemVolume(), 0.5);
    EXPECT_FALSE(c.NoiseSuppression());
    EXPECT_EQ(c.NoiseMode(), 0);
    EXPECT_EQ(c.NoiseStrength(), 1);
    EXPECT_FALSE(c.DuckingEnabled());
    EXPECT_EQ(c.DuckLevelDb(), -12.0);
    EXPECT_EQ(c.AudioBitrate(), 192'000);
    EXPECT_EQ(c.AgcMinGain(), 1.0);
    EXPECT_EQ(c.AgcMaxGain(), 4.0);
    EXPECT_EQ(c.AgcTargetLevel(), 0.3);
    EXPECT_EQ(c.AgcTuningA(), 3.5);
    EXPECT_EQ(c.AgcTuningB(), 1.2);
    EXPECT_EQ(c.Reserved1(), 0.05);
    EXPECT_EQ(c.Reserved2(), 0.02);
    EXPECT_EQ(c.Reserved3(), 0.2);
    EXPECT_EQ(c.GainSmoothing(), 0.15);
    EXPECT_EQ(c.LimiterThreshold(), 0.7);
    EXPECT_EQ(c.LimiterKneeEnd(), 0.8);
    EXPECT_EQ(c.LimiterRatio(), 3.0);
    EXPECT_EQ(c.Reserved4(), 1.0);
    EXPECT_EQ(c.Reserved5(), 48'000);
    EXPECT_EQ(c.Reserved6(), 2048);
    EXPECT_EQ(c.Reserved7(), 21.333);
    EXPECT_EQ(c.Reserved8(), 33);
    EXPECT_EQ(c.Reserved9(), 2);
    EXPECT_EQ(c.Reserved10(), 4);
    EXPECT_EQ(c.CameraOverlayLatencyMs(), 100);
    EXPECT_EQ(c.Reserved11(), 1);
    EXPECT_EQ(c.Reserved12(), 200);
    EXPECT_EQ(c.Reserved13(), 150);
    EXPECT_EQ(c.Reserved14(), 400);
    EXPECT_EQ(c.Reserved15(), 300);
    EXPECT_FALSE(c.FocusZoom().Flag1);
    EXPECT_FALSE(c.FocusZoom().Flag2);
    EXPECT_EQ(c.FocusZoom().cropFraction, 0.0);
    EXPECT_EQ(c.FocusZoom().smoothing, 0.0);
    EXPECT_EQ(c.FocusZoom().deadZone, 0.0);
    EXPECT_EQ(c.FocusZoom().pulseFactor, 0.0);
    EXPECT_EQ(c.Reserved16().Value1, 0.0);
    EXPECT_EQ(c.Reserved16().Value2, 0.0);
    EXPECT_EQ(c.Reserved16().Value3, 0.0);
}

TEST(RecordingConfigTest, SettersStoreValuesUnchecked) {
    RecordingConfig c;
    c.MicrophoneVolume(7.5);
    c.DuckLevelDb(-100.0);
    c.FrameRate(-3);
    c.CaptureRegion({.X = -5, .Y = 1, .Width = 3, .Height = 0});
    EXPECT_EQ(c.MicrophoneVolume(), 7.5);
    EXPECT_EQ(c.DuckLevelDb(), -100.0);
    EXPECT_EQ(c.FrameRate(), -3);
    EXPECT_EQ(c.CaptureRegion().X, -5);
}

TEST(RecordingProgressTest, EstimateIsEightMegabitsPerSecondTruncated) {
    EXPECT_EQ(RecordingProgress::EstimateBytes(0.0), 0);
    EXPECT_EQ(RecordingProgress::EstimateBytes(2.5), 2'500'000);
    EXPECT_EQ(RecordingProgress::EstimateBytes(1.0000019), 1'000'001);
}

}  // namespace
}  // namespace tamro::test
