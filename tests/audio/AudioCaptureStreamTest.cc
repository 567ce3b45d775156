#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "audio/SimulatedAudio.h"
#include "platform/system/ManualClock.h"
#include "support/LogCapture.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;
using platform::SyntheticStream;

// Frequency of a stereo block's left channel from its zero crossings.
double ZeroCrossingHz(const std::vector<float>& stereo, double rate) {
    int crossings = 0;
    size_t first = 0;
    size_t last = 0;
    for (size_t i = 1; i < stereo.size() / 2; ++i) {
        if ((stereo[(i - 1) * 2] < 0.0f) != (stereo[i * 2] < 0.0f)) {
            first = crossings == 0 ? i : first;
            last = i;
            ++crossings;
        }
    }
    return crossings < 3 ? 0.0 : (crossings - 1) / 2.0 * rate / static_cast<double>(last - first);
}

class AudioCaptureStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("TAMRO_AUDIO_DRIFT");
        unsetenv("TAMRO_AUDIO_PTS_OFFSET_MS");
    }
    // Capture wakes every 10 ms with nobody reading the rings.
    void WakeWithoutOutput(AudioCapture& capture, int wakes) {
        for (int i = 0; i < wakes; ++i) {
            clock.Set(clock.Now() + 10'000'000);
            capture.CaptureWake();
        }
    }

    SimulatedClock clock;
};

TEST_F(AudioCaptureStreamTest, MonoShortMicAt44kComesOutAsEqualStereoAt48k) {
    setenv("TAMRO_AUDIO_DRIFT", "0", 1);
    SyntheticStream mono;
    mono.format = {.sampleRate = 44100, .channels = 1, .bitsPerSample = 16, .isFloat = false};
    mono.frequencyHz = 1000.0;
    LogCapture log;
    auto capture = StartSimulatedCapture(SyntheticSources(std::nullopt, mono), clock);
    EXPECT_TRUE(log.Contains(
        "[AudioCapture] Mic sample rate (44100Hz) differs from output (48000Hz) - resampling "
        "enabled (ratio: 0.9187)"));
    std::vector<float> mic;
    RunSimulated(*capture, clock, 2.0,
                 [&](const AudioCapture::RingBlocks& read, const float* block, const float*) {
                     mic.insert(mic.end(), block, block + read.micGot);
                 });
    EXPECT_EQ(capture->MicStatistics().rawFrames.load(), 88200u);
    EXPECT_NEAR(static_cast<double>(capture->MicStatistics().resamplerOutputFrames), 96000.0, 2.0);
    EXPECT_EQ(capture->MicStatistics().droppedSamples.load(), 0u);
    ASSERT_GT(mic.size(), 2u * 90000);
    for (size_t i = 0; i < mic.size(); i += 2) {
        ASSERT_EQ(mic[i], mic[i + 1]) << i;
    }
    EXPECT_NEAR(ZeroCrossingHz(mic, 48000.0), 1000.0, 2.0);
    EXPECT_GT(*std::max_element(mic.begin(), mic.end()), 0.45f);
}

// The servo prefills only the captured rings but its latency is always added; the start offset
// counts from the session origin.
TEST_F(AudioCaptureStreamTest, StartPrefillsTheCapturedRingsAndSetsLatencyAndOffset) {
    SyntheticStream micStream;
    micStream.latency100ns = 200'000;
    LogCapture log;
    auto capture = MakeSimulatedCapture(SyntheticSources(std::nullopt, micStream), clock);
    ASSERT_TRUE(capture->Initialize(false, true, "", 48000, 2, false, 0, 0));
    capture->SetSessionStartTime(clock.Now() - 25'000'000);
    ASSERT_TRUE(capture->Start(nullptr));
    EXPECT_EQ(capture->MicRing().Used(), AudioCapture::kPrefillSamples);
    EXPECT_EQ(capture->SystemRing().Used(), 0u);
    EXPECT_EQ(capture->StreamLatency(), 200'000 + AudioCapture::kPrefill100ns);
    EXPECT_EQ(capture->RingPrefill(), AudioCapture::kPrefill100ns);
    EXPECT_EQ(capture->StartOffset(), 250'000);
    EXPECT_TRUE(
        log.Contains("[AudioCapture] Drift servo ENABLED: rings prefilled to 128ms setpoint"));
    EXPECT_FALSE(capture->Start(nullptr)) << "already running";
    capture->Stop();

    setenv("TAMRO_AUDIO_DRIFT", "0", 1);
    capture->SetSessionStartTime(clock.Now() + 1'000'000);
    ASSERT_TRUE(capture->Start(nullptr));
    EXPECT_EQ(capture->MicRing().Used(), 0u);
    EXPECT_EQ(capture->StreamLatency(), 200'000);
    EXPECT_EQ(capture->StartOffset(), 0) << "floored at 0";
}

TEST_F(AudioCaptureStreamTest, GapsSilenceAndPauseAreCountedAndKeepTheTimeline) {
    SyntheticStream render;
    render.gaps = {{.fromNs = 1'000'000'000, .toNs = 1'300'000'000}};
    render.silentEvery = 10;
    auto capture = StartSimulatedCapture(SyntheticSources(render), clock);
    bool sawRefill = false;
    RunSimulated(*capture, clock, 2.0,
                 [&](const AudioCapture::RingBlocks& read, const float*, const float*) {
                     // A gap starves the ring; the top-up puts it back at the set-point at once.
                     if (read.sysUsed >= AudioCapture::kPrefillSamples - 2048 &&
                         clock.Now() > 1'300'000'000) {
                         sawRefill = true;
                     }
                 });
    const auto& stats = capture->SystemStatistics();
    EXPECT_TRUE(sawRefill);
    EXPECT_EQ(stats.discontinuities.load(), 1u);
    EXPECT_EQ(stats.rawFrames.load(), 96000u - 14400u);
    EXPECT_EQ(stats.silentFrames.load(), stats.rawFrames.load() / 10);
    EXPECT_EQ(stats.droppedSamples.load(), 0u);

    capture->SetPaused(true);
    const size_t used = capture->SystemRing().Used();
    WakeWithoutOutput(*capture, 20);
    EXPECT_EQ(capture->SystemRing().Used(), used) << "packets taken while paused are discarded";
    EXPECT_EQ(stats.rawFrames.load(), 96000u - 14400u + 9600u);
}

// A stalled thread must not leave the sound late or early once it runs again: the ring's fill,
// which is the sound's delay, comes back to what it was before the stall. Only a stalled capture
// thread, with the output running on, has a backlog to drop.
TEST_F(AudioCaptureStreamTest, FillReturnsToWhereItWasAfterAThreadStalls) {
    struct Case {
        const char* name;
        bool captureStalls;
        bool outputStalls;
    };
    const Stall stall{.fromNs = 1'000'000'000, .toNs = 1'300'000'000};
    for (const Case& c :
         {Case{"capture", true, false}, Case{"output", false, true}, Case{"both", true, true}}) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        auto capture =
            StartSimulatedCapture(SyntheticSources(SyntheticStream{}, SyntheticStream{}), clock);
        const int64_t begin = clock.Now();
        // Per source, the time and fill after each output block.
        std::array<std::vector<std::pair<int64_t, size_t>>, 2> fills;
        RunClocked(
            *capture, clock, 3.0, 10'000'000,
            [&](int64_t lagUs) {
                capture->OutputTick(lagUs);
                fills[0].emplace_back(clock.Now() - begin, capture->SystemRing().Used());
                fills[1].emplace_back(clock.Now() - begin, capture->MicRing().Used());
            },
            c.captureStalls ? stall : Stall{}, c.outputStalls ? stall : Stall{});
        for (const auto& source : fills) {
            auto meanFillMs = [&](int64_t from, int64_t to) {
                double sum = 0;
                int n = 0;
                for (const auto& [t, used] : source) {
                    if (t >= from && t < to) {
                        sum += static_cast<double>(used) / 96.0;
                        ++n;
                    }
                }
                return sum / n;
            };
            const double before = meanFillMs(400'000'000, 1'000'000'000);
            EXPECT_NEAR(meanFillMs(1'500'000'000, 3'000'000'001), before, 12.0);
        }
        const bool dropsBacklog = c.captureStalls && !c.outputStalls;
        EXPECT_EQ(log.Contains("System audio stalled for"), dropsBacklog);
        EXPECT_EQ(log.Contains("Microphone stalled for"), dropsBacklog);
        capture->Stop();
    }
}

// A server that goes away and comes back: the sources are silent meanwhile, said once each way,
// then open again on a new connection and their sound goes on at the set-point.
TEST_F(AudioCaptureStreamTest, SourcesOfALostServerComeBackWhenItReturns) {
    auto setup = SyntheticSources(SyntheticStream{}, SyntheticStream{});
    LogCapture log;
    auto capture = StartSimulatedCapture(setup, clock, nullptr,
                                         {.clock = {}, .reconnectPeriod = 5ms, .pacing = {}});
    RunSimulated(*capture, clock, 1.0, nullptr);
    setup->serverDown->store(true);
    RunSimulated(*capture, clock, 0.5, nullptr);
    EXPECT_EQ(capture->LostSources(), "system audio and microphone");
    setup->serverDown->store(false);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!capture->LostSources().empty() && std::chrono::steady_clock::now() < deadline) {
        RunSimulated(*capture, clock, 0.02, nullptr);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(capture->LostSources(), "");
    size_t lastSysFill = 0;
    float loudest = 0.0f;
    RunSimulated(*capture, clock, 1.0,
                 [&](const AudioCapture::RingBlocks& read, const float*, const float* sys) {
                     lastSysFill = read.sysUsed;
                     loudest = std::max(loudest, *std::max_element(sys, sys + read.sysGot));
                 });
    EXPECT_GT(loudest, 0.3f) << "the tone plays again";
    EXPECT_NEAR(static_cast<double>(lastSysFill), AudioCapture::kPrefillSamples, 2048.0 + 960.0);
    EXPECT_EQ(log.Count("System audio lost: the audio server went away"), 1);
    EXPECT_EQ(log.Count("System audio is back"), 1);
    EXPECT_EQ(log.Count("Microphone is back"), 1);
    capture->Stop();
}

TEST_F(AudioCaptureStreamTest, OverflowDropsWholeFramesSoChannelsStayInPlace) {
    for (const char* drift : {"1", "0"}) {
        SCOPED_TRACE(drift);
        setenv("TAMRO_AUDIO_DRIFT", drift, 1);
        auto capture =
            StartSimulatedCapture(SyntheticSources(SyntheticStream{}, SyntheticStream{}), clock);
        WakeWithoutOutput(*capture, 100);  // a second of audio into 500 ms rings
        for (const auto& [ring, stats] :
             {std::pair{&capture->SystemRing(), &capture->SystemStatistics()},
              std::pair{&capture->MicRing(), &capture->MicStatistics()}}) {
            EXPECT_EQ(ring->Used(), SampleRing::kCapacity - 2);
            EXPECT_GT(stats->droppedSamples.load(), 0u);
            EXPECT_EQ(stats->droppedSamples.load() % 2, 0u);
        }
        capture->Stop();
    }
}

// The threads themselves, on a clock the test moves: the output thread takes one block per 1024
// frames of it, and the capture thread drains what the endpoints made meanwhile.
TEST_F(AudioCaptureStreamTest, CaptureAndOutputThreadsKeepTheClocksCadence) {
    auto manual = std::make_shared<platform::ManualClock>();
    auto setup = SyntheticSources(SyntheticStream{}, SyntheticStream{});
    setup->clock = [manual] { return manual->NowNs(); };
    AudioCapture capture(AudioCapture::Options{.connect = platform::SyntheticAudio(setup),
                                               .clock = setup->clock,
                                               .runThreads = true,
                                               .pacing = manual});
    ASSERT_TRUE(capture.Initialize(true, true, "", 48000, 2, false, 0, 0));
    ASSERT_TRUE(capture.Start([](const uint8_t*, uint32_t, int64_t, int64_t) {}));
    ASSERT_TRUE(manual->AwaitTimedWaiters(1)) << "the output thread waits for its next tick";
    ASSERT_TRUE(manual->Advance(200'000'000));
    // Ticks at 0, 21.3, ... 192 ms: ten blocks, counted as produced even before the first instant.
    EXPECT_EQ(capture.FramesSent(), 10u * 1024);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (capture.SystemStatistics().rawFrames.load() < 9600 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(capture.SystemStatistics().rawFrames.load(), 9600u) << "200 ms at 48 kHz";
    const auto begin = std::chrono::steady_clock::now();
    capture.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    EXPECT_FALSE(capture.IsRunning());
}

TEST_F(AudioCaptureStreamTest, StopGivesUpOnACaptureThreadStuckInTheStream) {
    auto gate = std::make_shared<platform::SyntheticGate>();
    SyntheticStream stuck;
    stuck.getBufferGate = gate;
    LogCapture log;
    auto capture = std::make_unique<AudioCapture>(
        AudioCapture::Options{.connect = platform::SyntheticAudio(SyntheticSources(stuck)),
                              .clock = {},
                              .runThreads = true,
                              .pacing = {}});
    ASSERT_TRUE(capture->Initialize(true, false, "", 48000, 2, false, 0, 0));
    ASSERT_TRUE(capture->Start(nullptr));
    for (int i = 0; i < 200 && !gate->IsWaiting(); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(gate->IsWaiting());
    const auto begin = std::chrono::steady_clock::now();
    capture->Stop();
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 2s);
    EXPECT_TRUE(log.Contains(
        "[AudioCapture] WARNING: Capture thread join timed out after 300ms \xE2\x80\x94 abandoning "
        "waiter"));
    EXPECT_FALSE(capture->Start(nullptr)) << "the stuck thread still owns the rings";
    EXPECT_TRUE(log.Contains("previous run has not ended"));
    // Once the stream lets go, the thread ends and destruction is safe.
    gate->Open();
    capture.reset();
}

}  // namespace
}  // namespace tamro::test
