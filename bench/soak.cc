// An hour of recording on the built-in synthetic display and sounds, with the memory and threads
// of the process reported every minute. Once past the first minute both should stay flat: a
// growth would be a leak that only long recordings show. Not part of CI; TAMRO_SOAK_SECONDS
// shortens the run.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "support/TempDir.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

// A "Name:   value" line of /proc/self/status, as a number.
long StatusValue(const char* name) {
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(name) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

int SoakSeconds() {
    const char* value = std::getenv("TAMRO_SOAK_SECONDS");
    return value ? std::max(60, std::atoi(value)) : 3600;
}

void BM_Soak(benchmark::State& state) {
    SetDiagnosticsToStandardError(false);
    test::TempDir dir;
    const int seconds = SoakSeconds();
    for (auto _ : state) {
        const auto recorder = NativeRecorder::Create(ScreenSource::kSynthetic);
        RecordingConfig config;
        config.OutputPath((dir.path() / "soak.mp4").string());
        config.CaptureMicrophone(true);
        config.CaptureSystemAudio(true);
        if (!recorder->StartAsync(config)->Get()) {
            state.SkipWithError("the recording did not start");
            return;
        }
        long firstMinuteRss = 0;
        long firstMinuteThreads = 0;
        long rss = 0;
        long threads = 0;
        for (int minute = 1; minute * 60 <= seconds; ++minute) {
            std::this_thread::sleep_for(60s);
            rss = StatusValue("VmRSS");
            threads = StatusValue("Threads");
            if (minute == 1) {
                firstMinuteRss = rss;
                firstMinuteThreads = threads;
            }
            std::fprintf(stderr, "minute %3d  rss %7ld kB  threads %3ld\n", minute, rss, threads);
        }
        recorder->Stop();
        state.counters["rss_first_minute_kB"] = static_cast<double>(firstMinuteRss);
        state.counters["rss_growth_kB"] = static_cast<double>(rss - firstMinuteRss);
        state.counters["thread_growth"] = static_cast<double>(threads - firstMinuteThreads);
    }
}

BENCHMARK(BM_Soak)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tamro
