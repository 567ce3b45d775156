// Time from asking for a recording to its first frame reaching the encoder: a plain start
// against a prepared one, in the same run, on Xvfb with system sound from a private PulseAudio
// server. The prepared session is made 1 s ahead; its start only stamps the origin and starts
// the captures.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "platform/system/SteadyClock.h"
#include "session/ComponentFactory.h"
#include "support/PrivatePulseServer.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

constexpr int kRounds = 5;

// The real encoder, noting when the first frame reaches it.
class FirstFrameEncoder final : public IEncoder {
  public:
    FirstFrameEncoder(std::unique_ptr<IEncoder> inner, std::atomic<int64_t>& firstFrameNs)
        : m_inner(std::move(inner)), m_firstFrameNs(firstFrameNs) {}
    void SetD3DDevice(gfx::Device* device) override { m_inner->SetD3DDevice(device); }
    bool Initialize(const EncoderSettings& settings) override {
        return m_inner->Initialize(settings);
    }
    bool WriteVideoFrame(gfx::Texture* texture, int64_t timestamp) override {
        int64_t none = 0;
        m_firstFrameNs.compare_exchange_strong(none, platform::SteadyClockNs());
        return m_inner->WriteVideoFrame(texture, timestamp);
    }
    void WriteAudioSample(const uint8_t* pcm, uint32_t bytes, int64_t timestamp,
                          int64_t duration) override {
        m_inner->WriteAudioSample(pcm, bytes, timestamp, duration);
    }
    void Finalize() override { m_inner->Finalize(); }
    void Abandon() override { m_inner->Abandon(); }
    std::string WriteFailure() const override { return m_inner->WriteFailure(); }
    int64_t WriteProgress() const override { return m_inner->WriteProgress(); }

  private:
    std::unique_ptr<IEncoder> m_inner;
    std::atomic<int64_t>& m_firstFrameNs;
};

class TimingFactory final : public ComponentFactory {
  public:
    explicit TimingFactory(std::atomic<int64_t>& firstFrameNs)
        : m_inner(CreateDefault()), m_firstFrameNs(firstFrameNs) {}
    std::unique_ptr<IScreenCapture> CreateScreenCapture() override {
        return m_inner->CreateScreenCapture();
    }
    std::unique_ptr<IFocusZoomManager> CreateFocusZoomManager() override {
        return m_inner->CreateFocusZoomManager();
    }
    std::unique_ptr<IMagnifierManager> CreateMagnifierManager() override {
        return m_inner->CreateMagnifierManager();
    }
    std::unique_ptr<IEncoder> CreateEncoder() override {
        return std::make_unique<FirstFrameEncoder>(m_inner->CreateEncoder(), m_firstFrameNs);
    }
    std::unique_ptr<IAudioCapture> CreateAudioCapture() override {
        return m_inner->CreateAudioCapture();
    }
    std::optional<MonitorOrigin> FindMonitorOrigin(uint64_t monitor) override {
        return m_inner->FindMonitorOrigin(monitor);
    }
    uint32_t WindowProcessId(uint64_t window) override { return m_inner->WindowProcessId(window); }

  private:
    std::unique_ptr<ComponentFactory> m_inner;
    std::atomic<int64_t>& m_firstFrameNs;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double MillisecondsBetween(int64_t fromNs, int64_t toNs) {
    return static_cast<double>(toNs - fromNs) / 1e6;
}

// Waits for the first frame; its time, or 0 after 3 s without one.
int64_t AwaitFirstFrame(const std::atomic<int64_t>& firstFrameNs) {
    for (int i = 0; i < 3000 && firstFrameNs.load() == 0; ++i)
        std::this_thread::sleep_for(1ms);
    return firstFrameNs.load();
}

void BM_TimeToFirstFrame(benchmark::State& state) {
    test::XvfbServer display;
    if (!display.Running()) {
        state.SkipWithError("Xvfb is not available");
        return;
    }
    setenv("DISPLAY", display.Name().c_str(), 1);
    test::PrivatePulseServer pulse;
    if (!pulse.Ready()) {
        state.SkipWithError("PulseAudio is not available");
        return;
    }
    SetDiagnosticsToStandardError(false);
    test::TempDir dir;
    std::atomic<int64_t> firstFrameNs{0};
    const auto recorder = NativeRecorder::Create(std::make_unique<TimingFactory>(firstFrameNs));
    RecordingConfig config;
    config.CaptureMicrophone(false);
    std::vector<double> plain, prepared, afterCompletion;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            config.OutputPath((dir.path() / ("plain" + std::to_string(round) + ".mp4")).string());
            firstFrameNs = 0;
            const int64_t asked = platform::SteadyClockNs();
            if (!recorder->StartAsync(config)->Get()) {
                state.SkipWithError("the recording did not start");
                return;
            }
            plain.push_back(MillisecondsBetween(asked, AwaitFirstFrame(firstFrameNs)));
            std::this_thread::sleep_for(300ms);
            recorder->Stop();

            config.OutputPath(
                (dir.path() / ("prepared" + std::to_string(round) + ".mp4")).string());
            if (!recorder->PrepareAsync(config)->Get()) {
                state.SkipWithError("the preparation failed");
                return;
            }
            std::this_thread::sleep_for(1s);
            firstFrameNs = 0;
            const int64_t startAsked = platform::SteadyClockNs();
            if (!recorder->StartPreparedAsync()->Get()) {
                state.SkipWithError("the prepared recording did not start");
                return;
            }
            const int64_t completed = platform::SteadyClockNs();
            const int64_t first = AwaitFirstFrame(firstFrameNs);
            prepared.push_back(MillisecondsBetween(startAsked, first));
            afterCompletion.push_back(MillisecondsBetween(completed, first));
            std::this_thread::sleep_for(300ms);
            recorder->Stop();
        }
    }
    state.counters["start_ms"] = Median(plain);
    state.counters["prepared_ms"] = Median(prepared);
    state.counters["prepared_worst_ms"] = *std::max_element(prepared.begin(), prepared.end());
    state.counters["after_completion_worst_ms"] =
        *std::max_element(afterCompletion.begin(), afterCompletion.end());
    state.counters["ratio"] = Median(prepared) / std::max(Median(plain), 1e-3);
}
BENCHMARK(BM_TimeToFirstFrame)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tamro
