#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "audio/AudioCapture.h"
#include "platform/audio/AudioDevicesFactory.h"

namespace tamro::test {

// A clock that moves only when told to; synthetic endpoints and the capture read it.
class SimulatedClock {
  public:
    int64_t Now() const { return m_now->load(); }
    void Set(int64_t ns) { m_now->store(ns); }
    std::function<int64_t()> Function() const {
        return [now = m_now] { return now->load(); };
    }

  private:
    std::shared_ptr<std::atomic<int64_t>> m_now = std::make_shared<std::atomic<int64_t>>(1'000'000);
};

inline std::unique_ptr<AudioCapture> MakeSimulatedCapture(
    std::shared_ptr<platform::SyntheticAudioSetup> setup, const SimulatedClock& clock,
    AudioCapture::Options options = {}) {
    setup->clock = clock.Function();
    options.connect = platform::SyntheticAudio(setup);
    options.clock = clock.Function();
    options.runThreads = false;
    return std::make_unique<AudioCapture>(std::move(options));
}

// A server whose default output plays `system` and whose communications microphone is `mic`.
inline std::shared_ptr<platform::SyntheticAudioSetup> SyntheticSources(
    std::optional<platform::SyntheticStream> system,
    std::optional<platform::SyntheticStream> mic = std::nullopt) {
    auto setup = std::make_shared<platform::SyntheticAudioSetup>();
    setup->render = std::move(system);
    if (mic) {
        setup->captureDevices["mic"] = *mic;
        setup->defaultCommunications = "mic";
    }
    return setup;
}

// A simulated capture of the sources `setup` has by default, as 48 kHz stereo, started.
inline std::unique_ptr<AudioCapture> StartSimulatedCapture(
    std::shared_ptr<platform::SyntheticAudioSetup> setup, const SimulatedClock& clock,
    AudioCallback callback = nullptr, AudioCapture::Options options = {}) {
    const bool system = setup->render.has_value();
    const bool mic = !setup->defaultCommunications.empty();
    auto capture = MakeSimulatedCapture(std::move(setup), clock, std::move(options));
    EXPECT_TRUE(capture->Initialize(system, mic, "", 48000, 2, false, 0, 0));
    EXPECT_TRUE(capture->Start(std::move(callback)));
    return capture;
}

// A span of simulated time in which a thread sleeps: what falls due in it happens at its end.
struct Stall {
    int64_t fromNs = 0;  // from the run's start
    int64_t toNs = 0;
    int64_t Delay(int64_t relativeNs) const {
        return relativeNs >= fromNs && relativeNs < toNs ? toNs : relativeNs;
    }
};

// Plays the two threads' parts on the simulated clock, in time order: a capture wake every
// `wakeNs` and `outputBlock(lagUs)` every 1024 frames at 48 kHz, each thread held up by its stall.
inline void RunClocked(AudioCapture& capture, SimulatedClock& clock, double seconds, int64_t wakeNs,
                       const std::function<void(int64_t lagUs)>& outputBlock,
                       Stall captureStall = {}, Stall outputStall = {}) {
    const int64_t begin = clock.Now();
    const auto end = static_cast<int64_t>(seconds * 1e9);
    int64_t wake = wakeNs;
    int64_t block = 1;
    auto blockDue = [&](int64_t k) -> int64_t { return k * 1024 * 1'000'000'000 / 48000; };
    for (;;) {
        const int64_t wakeAt = captureStall.Delay(wake);
        const int64_t blockAt = outputStall.Delay(blockDue(block));
        if (std::min(wakeAt, blockAt) > end) {
            break;
        }
        if (wakeAt <= blockAt) {
            clock.Set(begin + wakeAt);
            capture.CaptureWake();
            wake = std::max(wake, wakeAt - wakeAt % wakeNs) + wakeNs;
        } else {
            clock.Set(begin + blockAt);
            outputBlock((blockAt - blockDue(block)) / 1000);
            ++block;
        }
    }
}

// The output side as bare ring reads and servo updates; `onBlock` sees each block's reads and
// the two blocks read.
inline void RunSimulated(AudioCapture& capture, SimulatedClock& clock, double seconds,
                         const std::function<void(const AudioCapture::RingBlocks& read,
                                                  const float* mic, const float* sys)>& onBlock,
                         int64_t wakeNs = 10'000'000) {
    std::array<float, SampleRing::kBlockSamples> mic{};
    std::array<float, SampleRing::kBlockSamples> sys{};
    RunClocked(capture, clock, seconds, wakeNs, [&](int64_t) {
        const AudioCapture::RingBlocks blocks = capture.ReadRingBlocks(mic.data(), sys.data());
        capture.UpdateDriftServos(blocks, 0);
        if (onBlock) {
            onBlock(blocks, mic.data(), sys.data());
        }
    });
}

// The output side as the output thread's own tick, so the capture's callback receives the mixed
// blocks.
inline void RunSimulatedOutput(AudioCapture& capture, SimulatedClock& clock, double seconds,
                               int64_t wakeNs = 10'000'000) {
    RunClocked(capture, clock, seconds, wakeNs, [&](int64_t) { capture.OutputTick(0); });
}

}  // namespace tamro::test
