// A whole recording against ffmpeg's: 15 s of a 1920x1080 scene on Xvfb, one that changes every
// frame at 30 fps and one that stands still, recorded by tamro-record and then by ffmpeg's x11grab
// with libx264 at the settings our default quality-versus-speed maps to (preset veryfast, Main
// profile, CABAC, no B-frames, a key frame each second, 4 Mb/s), neither with sound. CPU counts
// the recorder's process and the X server's share together; the scene painter runs in this
// process and is left out of both, and so is what painting costs the server, measured before.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/ProcessCpu.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"
// Xlib last: its macros clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace tamro {
namespace {

using namespace std::chrono_literals;

constexpr int kSeconds = 15;

test::XvfbServer& Server() {
    static test::XvfbServer server;
    return server;
}

double ServerCpuSeconds() {
    return test::ProcessCpuSeconds(Server().Pid());
}

// Scrolls a detailed picture across the whole screen, one step per frame, so that every frame
// differs everywhere and the encoder has real motion to find.
class Scene {
  public:
    // A still scene is drawn once.
    explicit Scene(bool moving) : m_moving(moving), m_thread([this] { Run(); }) {}
    ~Scene() {
        m_running = false;
        m_thread.join();
    }

  private:
    void Run() {
        ::Display* display = XOpenDisplay(Server().Name().c_str());
        const ::Window root = DefaultRootWindow(display);
        const int screen = DefaultScreen(display);
        const int width = 1920 * 2, height = 1080;
        Pixmap picture = XCreatePixmap(display, root, width, height, DefaultDepth(display, screen));
        XImage* image =
            XCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen),
                         ZPixmap, 0, nullptr, width, height, 32, 0);
        image->data = static_cast<char*>(std::malloc(size_t{4} * width * height));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const unsigned v = (x * 7 + y * 13) ^ (x * y >> 5);
                XPutPixel(image, x, y, (v & 0xFF) << 16 | ((v >> 3) & 0xFF) << 8 | (x / 15 & 0xFF));
            }
        }
        GC gc = XCreateGC(display, root, 0, nullptr);
        XPutImage(display, picture, gc, image, 0, 0, 0, 0, width, height);
        XDestroyImage(image);
        auto next = std::chrono::steady_clock::now();
        for (int step = 0; m_running; ++step) {
            if (m_moving || step == 0) {
                XCopyArea(display, picture, root, gc, (step * 6) % 1920, 0, 1920, 1080, 0, 0);
                XFlush(display);
            }
            std::this_thread::sleep_until(next += 33333us);
        }
        XFreeGC(display, gc);
        XFreePixmap(display, picture);
        XCloseDisplay(display);
    }

    const bool m_moving;
    std::atomic<bool> m_running{true};
    std::thread m_thread;
};

struct Run {
    double cpuSeconds = 0;  // the recorder's process and the X server
    std::string log;        // the recorder's standard error and output
};

// What the server spends a second on the scene alone.
double PaintingCpuPerSecond() {
    const double before = ServerCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(5s);
    return (ServerCpuSeconds() - before) /
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs a recorder to its end and measures it, less `painting` a second of the server's time.
Run Measure(const std::vector<std::string>& args, const std::filesystem::path& logFile,
            double painting) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string display = "DISPLAY=" + Server().Name();
    std::vector<char*> env = {const_cast<char*>(display.c_str())};
    for (char** entry = environ; *entry; ++entry)
        env.push_back(*entry);
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const double serverBefore = ServerCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    Run run;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.data()) == 0) {
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        run.cpuSeconds =
            usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
            usage.ru_stime.tv_usec / 1e6 + (ServerCpuSeconds() - serverBefore) -
            painting *
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    posix_spawn_file_actions_destroy(&actions);
    std::ifstream in(logFile);
    std::stringstream text;
    text << in.rdbuf();
    run.log = text.str();
    return run;
}

struct FileFacts {
    int frames = 0;
    double seconds = 0;
};

FileFacts Probe(const std::filesystem::path& file) {
    FileFacts facts;
    const std::string command =
        "ffprobe -v error -count_packets -select_streams v -show_entries "
        "stream=nb_read_packets,duration -of csv=p=0 '" +
        file.string() + "'";
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::fscanf(pipe, "%lf,%d", &facts.seconds, &facts.frames);
        ::pclose(pipe);
    }
    return facts;
}

// The last number after `label` in the log, or -1.
int LastNumberAfter(const std::string& log, const std::string& label) {
    const std::regex pattern(label + "\\s*(\\d+)");
    int value = -1;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        value = std::stoi((*it)[1].str());
    }
    return value;
}

std::vector<std::string> OurCommand(const std::filesystem::path& file) {
    // clang-format off
    return {TAMRO_RECORD_TOOL, "--seconds", std::to_string(kSeconds), "--no-mic",
            "--no-system-audio", "--overwrite", "--output", file.string()};
    // clang-format on
}

std::vector<std::string> FfmpegCommand(const std::filesystem::path& file) {
    // clang-format off
    return {"ffmpeg", "-y", "-v", "error", "-stats",
            "-f", "x11grab", "-framerate", "30", "-video_size", "1920x1080",
            "-i", Server().Name(), "-t", std::to_string(kSeconds),
            "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "main", "-bf", "0",
            "-g", "30", "-b:v", "4M", "-pix_fmt", "yuv420p", file.string()};
    // clang-format on
}

// One recorder's runs: CPU per recorded second of each, and the fewest frames and most drops.
struct Runs {
    std::vector<double> cpuPerSecond;
    int fewestFrames = std::numeric_limits<int>::max();
    int mostDropped = 0;

    void Add(const Run& run, const FileFacts& facts, int dropped) {
        cpuPerSecond.push_back(run.cpuSeconds / std::max(facts.seconds, 1e-3));
        fewestFrames = std::min(fewestFrames, facts.frames);
        mostDropped = std::max(mostDropped, dropped);
    }
    double Median() const {
        std::vector<double> sorted = cpuPerSecond;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    void Report(benchmark::State& state, const std::string& prefix) const {
        state.counters[prefix + "_cpu_s_per_s"] = Median();
        state.counters[prefix + "_fewest_frames"] = fewestFrames;
        state.counters[prefix + "_most_dropped"] = mostDropped;
    }
};

// The machine's load wanders over minutes, by more than the difference measured: the two
// recorders take turns, each starting every other pair, and the medians are compared.
constexpr int kPairs = 3;

void BM_RecordAgainstFfmpeg(benchmark::State& state) {
    if (!Server().Running()) {
        state.SkipWithError("Xvfb is not available");
        return;
    }
    test::TempDir dir;
    Scene scene(state.range(0) != 0);
    std::this_thread::sleep_for(500ms);
    const double painting = PaintingCpuPerSecond();
    state.counters["painting_cpu_s_per_s"] = painting;
    for (auto _ : state) {
        Runs ours, theirs;
        std::vector<double> ratios;
        for (int pair = 0; pair < kPairs; ++pair) {
            const auto runOurs = [&] {
                const auto file = dir.path() / "tamro.mp4";
                const Run run = Measure(OurCommand(file), dir.path() / "tamro.log", painting);
                ours.Add(run, Probe(file), LastNumberAfter(run.log, "fps,"));
            };
            const auto runTheirs = [&] {
                const auto file = dir.path() / "ffmpeg.mp4";
                const Run run = Measure(FfmpegCommand(file), dir.path() / "ffmpeg.log", painting);
                theirs.Add(run, Probe(file), LastNumberAfter(run.log, "drop="));
            };
            if (pair % 2 == 0) {
                runOurs();
                runTheirs();
            } else {
                runTheirs();
                runOurs();
            }
            ratios.push_back(ours.cpuPerSecond.back() / std::max(theirs.cpuPerSecond.back(), 1e-6));
        }
        ours.Report(state, "tamro");
        theirs.Report(state, "ffmpeg");
        state.counters["cpu_ratio"] = ours.Median() / std::max(theirs.Median(), 1e-6);
        for (int pair = 0; pair < kPairs; ++pair)
            state.counters["cpu_ratio_" + std::to_string(pair + 1)] = ratios[pair];
    }
}
BENCHMARK(BM_RecordAgainstFfmpeg)
    ->ArgName("moving")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tamro
