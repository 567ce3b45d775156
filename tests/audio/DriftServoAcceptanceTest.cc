#include <gtest/gtest.h>

#include <cstdlib>

#include "audio/SimulatedAudio.h"

namespace tamro::test {
namespace {

// The servo may change its trim by 50 ppm a second, so a 3000 ppm error takes it a minute to
// match; meanwhile a slow source's ring dips to about 20 ms and a few blocks come up a little
// short. Past this pull-in the ring must never run dry.
constexpr double kPullInSeconds = 120.0;

struct SourceOutcome {
    double fillEmaMs = -1.0;
    uint64_t shortBlocksInPullIn = 0;
    uint64_t shortBlocksAfterPullIn = 0;
    uint64_t dropped = 0;
    double correction = 0.0;
};

struct RunOutcome {
    SourceOutcome sys;
    SourceOutcome mic;
};

void Track(SourceOutcome& source, size_t used, size_t got, bool pulledIn) {
    const double fillMs = static_cast<double>(used) / 96.0;
    source.fillEmaMs = source.fillEmaMs < 0 ? fillMs : 0.07 * fillMs + 0.93 * source.fillEmaMs;
    if (got < SampleRing::kBlockSamples) {
        ++(pulledIn ? source.shortBlocksAfterPullIn : source.shortBlocksInPullIn);
    }
}

// Ten simulated minutes with a system source whose clock runs fast by `sysPpm` and a 16-bit mono
// microphone off by `micPpm`.
RunOutcome RunTenMinutes(double sysPpm, double micPpm) {
    unsetenv("TAMRO_AUDIO_DRIFT");
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
    int64_t blocks = 0;
    RunSimulated(*capture, clock, 600.0,
                 [&](const AudioCapture::RingBlocks& read, const float*, const float*) {
                     const bool pulledIn = ++blocks * 1024.0 / 48000.0 > kPullInSeconds;
                     Track(run.sys, read.sysUsed, read.sysGot, pulledIn);
                     Track(run.mic, read.micUsed, read.micGot, pulledIn);
                 });
    run.sys.dropped = capture->SystemStatistics().droppedSamples;
    run.mic.dropped = capture->MicStatistics().droppedSamples;
    run.sys.correction = capture->SysCorrection();
    run.mic.correction = capture->MicCorrection();
    capture->Stop();
    return run;
}

// The system source's clock error; the microphone's runs the other way.
class DriftServoAcceptanceTest : public ::testing::TestWithParam<double> {};

TEST_P(DriftServoAcceptanceTest, HoldsTheSetpointAgainstFastAndSlowClocks) {
    const double sysPpm = GetParam();
    const RunOutcome run = RunTenMinutes(sysPpm, -sysPpm);
    for (const auto& [name, source, ppm] :
         {std::tuple{"sys", run.sys, sysPpm}, std::tuple{"mic", run.mic, -sysPpm}}) {
        SCOPED_TRACE(name);
        EXPECT_NEAR(source.fillEmaMs, 128.0, 10.0);
        EXPECT_EQ(source.dropped, 0u) << "the ring must never overflow";
        EXPECT_LT(source.shortBlocksInPullIn, 20u);
        EXPECT_EQ(source.shortBlocksAfterPullIn, 0u);
        // The trim ends up matching the clock error (the step is input frames per output frame).
        EXPECT_NEAR(source.correction, ppm * 1e-6, 3e-4);
    }
}

INSTANTIATE_TEST_SUITE_P(ClockErrors, DriftServoAcceptanceTest, ::testing::Values(3000.0, -3000.0),
                         [](const auto& info) {
                             return info.param > 0 ? std::string("SysFastMicSlow")
                                                   : std::string("SysSlowMicFast");
                         });

}  // namespace
}  // namespace tamro::test
