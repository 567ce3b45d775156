// The live camera preview's cost on this machine's two cores: the test camera at 1280x720 and
// 30 fps into a 320 px bubble window on an X server (a private Xvfb unless $DISPLAY names one),
// measured for ten seconds after two of warming up, with the background blurred (medium, Auto
// quality) and with no effect. Figures: CPU seconds per second of the whole process, the test
// camera's own painting of each picture included (a real camera's driver does that work outside
// the process), and of the X server when it is ours; frames shown per second; and the latency from
// a frame's arrival from the camera to the end of its present into the window, median and 95th
// percentile; then the test camera alone, for its share. Targets with the blur: under 0.4 CPU s/s
// and a median under 50 ms.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera/CameraCapture.h"
#include "camera/CameraPreview.h"
#include "effects/BackgroundEffectProcessor.h"
#include "platform/window/X11BubbleSurface.h"
#include "support/ProcessCpu.h"
#include "support/XvfbServer.h"
#include "tamro/Diagnostics.h"
// Last: it brings in Xlib, whose macros clash with names in the headers above.
#include "BubbleWindow.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

constexpr int32_t kCameraWidth = 1280;
constexpr int32_t kCameraHeight = 720;
constexpr int32_t kCameraFps = 30;
constexpr uint32_t kBubble = 320;
constexpr auto kWarmUp = 2s;
constexpr auto kMeasured = 10s;

// The display to draw on: $DISPLAY's, or a private Xvfb's, whose CPU is then counted too.
struct Screen {
    Screen() {
        const char* display = std::getenv("DISPLAY");
        if (display && *display) {
            name = display;
            return;
        }
        server.emplace();
        if (server->Running())
            name = server->Name();
    }
    double ServerCpuSeconds() const {
        return server && server->Running() ? test::ProcessCpuSeconds(server->Pid()) : 0.0;
    }

    std::string name;
    std::optional<test::XvfbServer> server;
};

Screen& TheScreen() {
    static Screen screen;
    return screen;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Each shown frame's latency in milliseconds, gathered on the preview's frame thread.
class Latencies {
  public:
    void Add(int64_t arrivedNs, int64_t presentedNs) {
        std::lock_guard lock(m_mutex);
        if (m_counting)
            m_ms.push_back(static_cast<double>(presentedNs - arrivedNs) / 1e6);
    }
    void Start() {
        std::lock_guard lock(m_mutex);
        m_ms.clear();
        m_counting = true;
    }
    std::vector<double> Stop() {
        std::lock_guard lock(m_mutex);
        m_counting = false;
        std::sort(m_ms.begin(), m_ms.end());
        return m_ms;
    }

  private:
    std::mutex m_mutex;
    std::vector<double> m_ms;
    bool m_counting = false;
};

double Percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty())
        return 0.0;
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()))];
}

// The effect as the recorder makes it, and whether it finds the person.
CameraEffectFactory Effects(bool* findsPeople) {
    return
        [findsPeople](gfx::Device* device, uint32_t width, uint32_t height,
                      const BackgroundEffectConfig& config) -> std::unique_ptr<ICameraFrameEffect> {
            auto processor = std::make_unique<BackgroundEffectProcessor>();
            if (!processor->Initialize(device, width, height))
                return nullptr;
            processor->SetConfig(config);
            *findsPeople = processor->IsMlAvailable();
            return processor;
        };
}

// Runs `measured` seconds after the warm-up, counting CPU: the benchmark's one iteration.
void Measure(benchmark::State& state, Latencies* latencies) {
    const Screen& screen = TheScreen();
    for (auto _ : state) {
        std::this_thread::sleep_for(kWarmUp);
        const double cpuBefore = ProcessCpuSeconds();
        const double serverBefore = screen.ServerCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        if (latencies)
            latencies->Start();
        std::this_thread::sleep_for(kMeasured);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["cpu_s_per_s"] = (ProcessCpuSeconds() - cpuBefore) / wall;
        state.counters["server_cpu_s_per_s"] = (screen.ServerCpuSeconds() - serverBefore) / wall;
        if (!latencies)
            continue;
        const std::vector<double> ms = latencies->Stop();
        state.counters["shown_fps"] = static_cast<double>(ms.size()) / wall;
        state.counters["latency_median_ms"] = Percentile(ms, 0.5);
        state.counters["latency_p95_ms"] = Percentile(ms, 0.95);
    }
}

void BM_Preview(benchmark::State& state, BackgroundEffectConfig effect) {
    SetDiagnosticsToStandardError(false);
    const Screen& screen = TheScreen();
    if (screen.name.empty()) {
        state.SkipWithError("no X display and no Xvfb");
        return;
    }
    auto window = preview::BubbleWindow::Create(screen.name, 100, 100, kBubble, true);
    if (!window) {
        state.SkipWithError("the bubble window could not be made");
        return;
    }
    Latencies latencies;
    bool findsPeople = false;
    CameraPreview::Environment environment;
    environment.effects = Effects(&findsPeople);
    environment.surfaces = [name = screen.name](uint64_t id) {
        return std::make_unique<platform::window::X11BubbleSurface>(name, id);
    };
    environment.presented = [&latencies](int64_t arrived, int64_t presented) {
        latencies.Add(arrived, presented);
    };
    CameraPreview preview(std::move(environment));
    preview.AttachBubble(window->Id(), kBubble, kBubble);
    if (!preview.Start("test:720p30", kCameraWidth, kCameraHeight, kCameraFps, effect)) {
        state.SkipWithError("the test camera did not start");
        return;
    }
    Measure(state, &latencies);
    if (!preview.IsGpuBubbleActive())
        state.SkipWithError("the bubble window stopped being drawn into");
    preview.Stop();
    if (effect.Mode != 0)
        state.SetLabel(findsPeople ? "person found by the model" : "no model: the whole frame");
}

// The test camera alone, its pictures painted and delivered to no one: its share of the figures
// above, which a real camera would not add.
void BM_TestCameraAlone(benchmark::State& state) {
    SetDiagnosticsToStandardError(false);
    CameraCapture camera;
    camera.SetNegotiateFormat(false);
    camera.SetBufferedAcquisition(false);
    if (!camera.Initialize("test:720p30", kCameraWidth, kCameraHeight, kCameraFps) ||
        !camera.StartAsync([](gfx::Texture*, int64_t) {})->Get()) {
        state.SkipWithError("the test camera did not start");
        return;
    }
    Measure(state, nullptr);
    camera.Stop();
}

BENCHMARK_CAPTURE(BM_Preview, blur_auto,
                  BackgroundEffectConfig{.Mode = 1, .BlurIntensity = 1, .Quality = 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Preview, no_effect, BackgroundEffectConfig{})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_TestCameraAlone)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tamro
