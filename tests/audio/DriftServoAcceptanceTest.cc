#include <gtest/gtest.h>

#include <cstdlib>

#include "audio/SimulatedAudio.h"

namespace tamro::test {
namespace {

// The servo may change its trim by 50 ppm a second, so a 3000 ppm error takes it a minute to
// match; meanwhile a slow source's ring dips to about 20 ms and a few blocks come up a little
// short. Past this pull-in the ring must never run dry.
constexpr double kPullInSeconds = 120.0;

// What the output side saw of one source's ring.
struct SourceOutcome {
    double fillEmaMs = -1.0;
    uint64_t shortBlocksInPullIn = 0;
    uint64_t shortBlocksAfterPullIn = 0;
};

void Track(SourceOutcome& source, size_t used, size_t got, bool pulledIn) {
    const double fillMs = static_cast<double>(used) / 96.0;
    source.fillEmaMs = source.fillEmaMs < 0 ? fillMs : 0.07 * fillMs + 0.93 * source.fillEmaMs;
    if (got < SampleRing::kBlockSamples) {
        ++(pulledIn ? source.shortBlocksAfterPullIn : source.shortBlocksInPullIn);
    }
}

// Ten simulated minutes with a system source whose clock is off by the parameter and a 16-bit
// mono microphone off by as much the other way.
class DriftServoAcceptanceTest : public ::testing::TestWithParam<double> {};

TEST_P(DriftServoAcceptanceTest, HoldsTheSetpointAgainstFastAndSlowClocks) {
    unsetenv("TAMRO_AUDIO_DRIFT");
    const double sysPpm = GetParam();
    platform::SyntheticStream sysStream;
    sysStream.waveform = platform::SyntheticStream::Waveform::kNoise;
    sysStream.skewPpm = sysPpm;
    platform::SyntheticStream micStream = sysStream;
    micStream.skewPpm = -sysPpm;
    micStream.format = {.sampleRate = 48000, .channels = 1, .bitsPerSample = 16, .isFloat = false};
    SimulatedClock clock;
    auto capture = StartSimulatedCapture(SyntheticSources(sysStream, micStream), clock);
    SourceOutcome sys;
    SourceOutcome mic;
    int64_t blocks = 0;
    RunSimulated(*capture, clock, 600.0,
                 [&](const AudioCapture::RingBlocks& read, const float*, const float*) {
                     const bool pulledIn = ++blocks * 1024.0 / 48000.0 > kPullInSeconds;
                     Track(sys, read.sysUsed, read.sysGot, pulledIn);
                     Track(mic, read.micUsed, read.micGot, pulledIn);
                 });
    for (const auto& [name, source, stats, correction, ppm] :
         {std::tuple{"sys", sys, &capture->SystemStatistics(), capture->SysCorrection(), sysPpm},
          std::tuple{"mic", mic, &capture->MicStatistics(), capture->MicCorrection(), -sysPpm}}) {
        SCOPED_TRACE(name);
        EXPECT_NEAR(source.fillEmaMs, 128.0, 10.0);
        EXPECT_EQ(stats->droppedSamples.load(), 0u) << "the ring must never overflow";
        EXPECT_LT(source.shortBlocksInPullIn, 20u);
        EXPECT_EQ(source.shortBlocksAfterPullIn, 0u);
        // The trim ends up matching the clock error (the step is input frames per output frame).
        EXPECT_NEAR(correction, ppm * 1e-6, 3e-4);
    }
    capture->Stop();
}

INSTANTIATE_TEST_SUITE_P(ClockErrors, DriftServoAcceptanceTest, ::testing::Values(3000.0, -3000.0),
                         [](const auto& info) {
                             return info.param > 0 ? std::string("SysFastMicSlow")
                                                   : std::string("SysSlowMicFast");
                         });

}  // namespace
}  // namespace tamro::test
