#include <gtest/gtest.h>

#include <cstdlib>

#include "audio/SimulatedAudio.h"

namespace tamro::test {
namespace {

constexpr double kWarmUpSeconds = 120.0;

struct SourceOutcome {
    double fillEmaMs = -1.0;
    uint64_t shortBlocksAfterWarmUp = 0;
    uint64_t droppedAfterWarmUp = 0;
    double correction = 0.0;
};

struct RunOutcome {
    SourceOutcome sys;
    SourceOutcome mic;
};

void Track(SourceOutcome& source, size_t used, size_t got, bool warm) {
    const double fillMs = static_cast<double>(used) / 96.0;
    source.fillEmaMs = source.fillEmaMs < 0 ? fillMs : 0.07 * fillMs + 0.93 * source.fillEmaMs;
    if (warm) {
        source.shortBlocksAfterWarmUp += got < SampleRing::kBlockSamples ? 1 : 0;
    }
}

// Ten simulated minutes with a system source whose clock runs fast by `sysPpm` and a 16-bit mono
// microphone off by `micPpm`.
RunOutcome RunTenMinutes(double sysPpm, double micPpm, bool servo) {
    if (servo) {
        unsetenv("TAMRO_AUDIO_DRIFT");
    } else {
        setenv("TAMRO_AUDIO_DRIFT", "0", 1);
    }
    auto setup = std::make_shared<platform::SyntheticAudioSetup>();
    platform::SyntheticStream stream;
    stream.waveform = platform::SyntheticStream::Waveform::kNoise;
    stream.skewPpm = sysPpm;
    setup->render = stream;
    stream.skewPpm = micPpm;
    stream.format = {.sampleRate = 48000, .channels = 1, .bitsPerSample = 16, .isFloat = false};
    setup->captureDevices["mic"] = stream;
    setup->defaultCommunications = "mic";
    SimulatedClock clock;
    auto capture = MakeSimulatedCapture(setup, clock);
    EXPECT_TRUE(capture->Initialize(true, true, "", 48000, 2, false, 0, 0));
    EXPECT_TRUE(capture->Start(nullptr));

    RunOutcome run;
    uint64_t sysDropsAtWarmUp = 0;
    uint64_t micDropsAtWarmUp = 0;
    int64_t blocks = 0;
    RunSimulated(*capture, clock, 600.0,
                 [&](const AudioCapture::RingBlocks& read, const float*, const float*) {
                     const bool warm = ++blocks * 1024.0 / 48000.0 > kWarmUpSeconds;
                     if (!warm) {
                         sysDropsAtWarmUp = capture->SystemStatistics().droppedSamples;
                         micDropsAtWarmUp = capture->MicStatistics().droppedSamples;
                     }
                     Track(run.sys, read.sysUsed, read.sysGot, warm);
                     Track(run.mic, read.micUsed, read.micGot, warm);
                 });
    run.sys.droppedAfterWarmUp = capture->SystemStatistics().droppedSamples - sysDropsAtWarmUp;
    run.mic.droppedAfterWarmUp = capture->MicStatistics().droppedSamples - micDropsAtWarmUp;
    run.sys.correction = capture->SysCorrection();
    run.mic.correction = capture->MicCorrection();
    capture->Stop();
    return run;
}

TEST(DriftServoAcceptanceTest, HoldsTheSetpointAgainstFastAndSlowClocks) {
    const RunOutcome run = RunTenMinutes(3000.0, -3000.0, true);
    for (const auto& [name, source, ppm] : {std::tuple{"sys +3000 ppm", run.sys, 3000.0},
                                            std::tuple{"mic -3000 ppm", run.mic, -3000.0}}) {
        SCOPED_TRACE(name);
        EXPECT_NEAR(source.fillEmaMs, 128.0, 10.0);
        EXPECT_EQ(source.shortBlocksAfterWarmUp, 0u);
        EXPECT_EQ(source.droppedAfterWarmUp, 0u);
        // The trim ends up matching the clock error (the step is input frames per output frame).
        EXPECT_NEAR(source.correction, ppm * 1e-6, 3e-4);
    }
}

TEST(DriftServoAcceptanceTest, WithoutTheServoTheSameRunOverflowsAndUnderruns) {
    const RunOutcome run = RunTenMinutes(3000.0, -3000.0, false);
    EXPECT_GT(run.sys.droppedAfterWarmUp, 0u) << "a fast source must overflow its ring";
    EXPECT_GT(run.mic.shortBlocksAfterWarmUp, 0u) << "a slow source must run its ring dry";
}

}  // namespace
}  // namespace tamro::test
