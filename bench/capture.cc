// CPU cost of one delivered 1920x1080 frame (grab, crop, newest-frame copy), counted in this
// process and in the X server together, beside a bare MIT-SHM grab loop on the same server.

#include <benchmark/benchmark.h>
// Xlib after the benchmark header: its macros clash with C++ names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "capture/ScreenCapture.h"
#include "platform/display/X11Display.h"
#include "platform/system/DebugOutput.h"
#include "support/ProcessCpu.h"
#include "support/XvfbServer.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

constexpr auto kFramePeriod = 33333us;
constexpr int kFramesPerRun = 90;

test::XvfbServer& Server() {
    static test::XvfbServer server;
    return server;
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double ServerCpuSeconds() {
    return test::ProcessCpuSeconds(Server().Pid());
}

// CPU used in this process and in the X server between construction and Report.
class CpuMeter {
  public:
    CpuMeter() : m_process(ProcessCpuSeconds()), m_server(ServerCpuSeconds()) {}
    void Report(benchmark::State& state, int64_t frames) const {
        const double process = (ProcessCpuSeconds() - m_process) * 1000.0 / frames;
        const double server = (ServerCpuSeconds() - m_server) * 1000.0 / frames;
        state.counters["ms_per_frame"] = process + server;
        state.counters["ms_in_process"] = process;
        state.counters["ms_in_server"] = server;
    }

  private:
    double m_process;
    double m_server;
};

// Moves a square across the screen at `hz`, so the screen changes as with lively content.
class Painter {
  public:
    explicit Painter(int hz) : m_thread([this, hz] { Run(hz); }) {}
    ~Painter() {
        m_running = false;
        m_thread.join();
    }

  private:
    void Run(int hz) {
        ::Display* display = XOpenDisplay(Server().Name().c_str());
        const ::Window root = DefaultRootWindow(display);
        GC gc = XCreateGC(display, root, 0, nullptr);
        for (int step = 0; m_running; ++step) {
            XSetForeground(display, gc, 0x102030 + step * 0x010305);
            XFillRectangle(display, root, gc, (step * 37) % 1700, (step * 23) % 860, 200, 200);
            XFlush(display);
            std::this_thread::sleep_for(std::chrono::microseconds(1'000'000 / hz));
        }
        XFreeGC(display, gc);
        XCloseDisplay(display);
    }

    std::atomic<bool> m_running{true};
    std::thread m_thread;
};

void BM_BareShmGrab(benchmark::State& state) {
    if (!Server().Running()) {
        state.SkipWithError("Xvfb is not available");
        return;
    }
    ::Display* display = XOpenDisplay(Server().Name().c_str());
    const int screen = DefaultScreen(display);
    XShmSegmentInfo info{};
    XImage* image =
        XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen),
                        ZPixmap, nullptr, &info, 1920, 1080);
    info.shmid = shmget(IPC_PRIVATE, image->bytes_per_line * image->height, IPC_CREAT | 0600);
    info.shmaddr = image->data = static_cast<char*>(shmat(info.shmid, nullptr, 0));
    XShmAttach(display, &info);
    XSync(display, False);
    shmctl(info.shmid, IPC_RMID, nullptr);

    // Paced as the capture delivers, since on an idle machine each wake-up of the server costs
    // more than a grab in a tight loop; the same painter runs, so both sides pay for it.
    Painter painter(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const CpuMeter meter;
        auto next = std::chrono::steady_clock::now();
        for (int grab = 0; grab < kFramesPerRun; ++grab) {
            XShmGetImage(display, DefaultRootWindow(display), image, 0, 0, AllPlanes);
            benchmark::DoNotOptimize(image->data[4096]);
            std::this_thread::sleep_until(next += kFramePeriod);
        }
        meter.Report(state, kFramesPerRun);
    }

    XShmDetach(display, &info);
    XSync(display, False);
    shmdt(info.shmaddr);
    XDestroyImage(image);
    XCloseDisplay(display);
}
BENCHMARK(BM_BareShmGrab)
    ->ArgName("change_hz")
    ->Arg(30)
    ->Arg(60)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Arguments: the rate the screen changes at, and whether a crop is applied.
void BM_DeliveredFrame(benchmark::State& state) {
    if (!Server().Running()) {
        state.SkipWithError("Xvfb is not available");
        return;
    }
    platform::SetDebugOutputToStandardError(false);
    ScreenCapture capture(platform::X11Display::Open(Server().Name()));
    capture.SetCaptureCursor(true);
    if (!capture.InitializeForMonitor(0)) {
        state.SkipWithError("capture initialisation failed");
        return;
    }
    if (state.range(1))
        capture.SetCropRegion(160, 90, 1600, 900);
    std::atomic<int64_t> delivered{0};
    Painter painter(static_cast<int>(state.range(0)));
    capture.Start([&](gfx::Texture* texture, int64_t) {
        benchmark::DoNotOptimize(texture->Row(0)[0]);
        ++delivered;
    });
    std::this_thread::sleep_for(500ms);  // past the first frames and the pool's warm-up
    for (auto _ : state) {
        const int64_t before = delivered;
        const CpuMeter meter;
        std::this_thread::sleep_for(kFramePeriod * kFramesPerRun);
        const int64_t frames = delivered - before;
        state.counters["delivered_per_s"] = frames / 3.0;
        meter.Report(state, frames);
    }
    capture.Stop();
}
BENCHMARK(BM_DeliveredFrame)
    ->ArgsProduct({{30, 60}, {0, 1}})
    ->ArgNames({"change_hz", "crop"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tamro
