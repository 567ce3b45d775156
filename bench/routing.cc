// Cost of the recorder's own work per routed frame and audio block (the encoder is a no-op), so
// the per-frame overhead of the session stays visible as the routing grows.

#include <benchmark/benchmark.h>

#include "platform/system/DebugOutput.h"
#include "session/FakeComponents.h"
#include "tamro/NativeRecorder.h"

namespace tamro {
namespace {

struct RunningSession {
    RunningSession()
        : world(std::make_shared<test::FakeWorld>()),
          recorder(NativeRecorder::Create(std::make_unique<test::FakeComponentFactory>(world))) {
        platform::SetDebugOutputToStandardError(false);
        RecordingConfig config;
        config.OutputPath("/dev/null");
        recorder->StartAsync(config)->Get();
    }
    ~RunningSession() { recorder->Stop(); }

    std::shared_ptr<test::FakeWorld> world;
    std::shared_ptr<NativeRecorder> recorder;
};

void BM_RouteVideoFrame(benchmark::State& state) {
    RunningSession session;
    int64_t timestamp = 0;
    for (auto _ : state) {
        session.world->frameCallback(nullptr, timestamp += 333'333);
        if (session.world->writtenVideoPts.size() > 100'000) {
            state.PauseTiming();
            session.world->writtenVideoPts.clear();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_RouteVideoFrame);

void BM_RouteAudioBlock(benchmark::State& state) {
    RunningSession session;
    const std::vector<uint8_t> block(4096);
    int64_t timestamp = 0;
    for (auto _ : state) {
        session.world->audioCallback(block.data(), 4096, timestamp += 213'333, 213'333);
        if (session.world->writtenAudioPts.size() > 100'000) {
            state.PauseTiming();
            session.world->writtenAudioPts.clear();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_RouteAudioBlock);

}  // namespace
}  // namespace tamro
