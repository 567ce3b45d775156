// tamro-record: records a monitor, a window or a region into an MP4 through the public API.

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "CommandLine.h"
#include "ConsoleInput.h"
#include "Report.h"
#include "tamro/Desktop.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"

namespace tamro::cli {
namespace {

using namespace std::chrono_literals;

constexpr int kExitUsage = 2;
constexpr int kExitFailed = 1;

std::string DefaultOutputName() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "recording-%Y%m%d-%H%M%S.mp4", &local);
    return name;
}

void PrintDesktop(const DesktopDescription& desktop, ScreenSource source) {
    std::printf("%s\nMonitors:\n", source == ScreenSource::kSynthetic
                                       ? "The built-in synthetic scene"
                                       : "The X display");
    for (const MonitorDescription& m : desktop.monitors) {
        std::printf("  %-12llu %ux%u at %d,%d  %s%s\n", static_cast<unsigned long long>(m.id),
                    m.width, m.height, m.x, m.y, m.name.c_str(), m.primary ? "  (primary)" : "");
    }
    std::printf("Windows:\n");
    if (desktop.windows.empty())
        std::printf("  none\n");
    for (const WindowDescription& w : desktop.windows) {
        std::printf("  0x%-10llx %ux%u at %d,%d  pid %u  %s\n",
                    static_cast<unsigned long long>(w.id), w.width, w.height, w.x, w.y, w.processId,
                    w.title.c_str());
    }
}

void PrintAudioDevices(const char* heading, const std::vector<AudioDeviceDescription>& devices) {
    std::printf("%s:\n", heading);
    if (devices.empty())
        std::printf("  none\n");
    size_t width = 0;
    for (const AudioDeviceDescription& d : devices)
        width = std::max(width, d.id.size());
    for (const AudioDeviceDescription& d : devices) {
        std::printf("  %-*s  %s%s\n", static_cast<int>(width), d.id.c_str(), d.description.c_str(),
                    d.isDefault ? "  (default)" : "");
    }
}

void PrintAudio(const std::optional<AudioDescription>& audio) {
    if (!audio) {
        std::printf("No audio server\n");
        return;
    }
    PrintAudioDevices("Microphones (--mic)", audio->microphones);
    PrintAudioDevices("System outputs", audio->outputs);
}

// A monitor given by name becomes its id.
std::optional<std::string> ResolveMonitorName(CommandLine& line,
                                              const DesktopDescription& desktop) {
    if (line.monitorName.empty())
        return std::nullopt;
    for (const MonitorDescription& m : desktop.monitors) {
        if (m.name == line.monitorName) {
            line.monitor = m.id;
            return std::nullopt;
        }
    }
    return "no monitor named '" + line.monitorName + "' (see --list)";
}

// Names a wrong id now, rather than letting the recording fail to start without saying why.
std::optional<std::string> CheckTarget(CommandLine& line, const DesktopDescription& desktop) {
    if (auto error = ResolveMonitorName(line, desktop))
        return error;
    if (line.target == Target::kWindow) {
        for (const WindowDescription& w : desktop.windows) {
            if (w.id == line.window)
                return std::nullopt;
        }
        char text[96];
        std::snprintf(text, sizeof text, "no window with id 0x%llx (see --list)",
                      static_cast<unsigned long long>(line.window));
        return text;
    }
    if (line.monitor == 0)
        return std::nullopt;
    for (const MonitorDescription& m : desktop.monitors) {
        if (m.id == line.monitor)
            return std::nullopt;
    }
    return "no monitor with id " + std::to_string(line.monitor) + " (see --list)";
}

// What the writer would fail on, said with the path: checked here so that the message can say
// which part of it is wrong.
std::optional<std::string> CheckOutput(const std::string& path, bool overwrite) {
    const std::filesystem::path file(path);
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return path + " is a folder, not a file to write";
    const bool exists = std::filesystem::exists(path, error);
    if (exists && !std::filesystem::is_regular_file(path, error))
        return path + " is not a regular file; the MP4 writer needs one it can seek in";
    if (exists && !overwrite)
        return path + " exists; -y or --overwrite replaces it";
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension != ".mp4")
        return "the output is an MP4 file: name it .mp4, not " + path;
    if (file.filename().string().size() > NAME_MAX)
        return "the file name is longer than the system allows (" + std::to_string(NAME_MAX) +
               " bytes): " + path;
    const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
    if (folder.string().size() + file.filename().string().size() + 1 >= PATH_MAX)
        return "the path is longer than the system allows (" + std::to_string(PATH_MAX) + " bytes)";
    if (!std::filesystem::is_directory(folder, error))
        return "the folder " + folder.string() + " does not exist";
    if (access(folder.c_str(), W_OK) != 0)
        return "the folder " + folder.string() + " is not writable";
    return std::nullopt;
}

// A recording stops when its disk fills; better said before it starts.
void WarnOfLowSpace(const std::string& path) {
    constexpr uintmax_t kLowSpaceBytes = 1ull << 30;
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(path, error);
    if (error || path.empty())
        return;
    const auto space = std::filesystem::space(file.parent_path(), error);
    if (!error && space.available < kLowSpaceBytes)
        std::fprintf(stderr, "tamro-record: only %.0f MB free where the file goes\n",
                     static_cast<double>(space.available) / (1 << 20));
}

RecordingConfig MakeConfig(const CommandLine& line) {
    RecordingConfig config;
    config.OutputPath(line.output);
    config.CaptureMode(line.target == Target::kWindow ? 1 : line.target == Target::kRegion ? 2 : 0);
    config.MonitorHandle(line.monitor);
    config.WindowHandle(line.window);
    if (line.target == Target::kRegion) {
        config.CaptureRegion(line.region);
    }
    config.Width(static_cast<int32_t>(line.width));
    config.Height(static_cast<int32_t>(line.height));
    config.FrameRate(static_cast<int32_t>(line.fps));
    config.Bitrate(static_cast<int32_t>(line.bitrate));
    config.VideoProfile(line.profile);
    config.QualityVsSpeed(line.speed);
    config.KeyframeIntervalSeconds(line.keyframeSeconds);
    config.BFrameCount(line.bFrames);
    config.EnableCabac(!line.cavlc);
    config.AudioBitrate(line.audioBitrate);
    config.CaptureCursor(line.cursor);
    config.CaptureMicrophone(line.microphone);
    config.CaptureSystemAudio(line.systemAudio);
    config.CaptureWindowAudioOnly(line.windowAudioOnly);
    config.MicrophoneDeviceId(line.micId);
    config.NoiseMode(line.noise);
    config.NoiseStrength(line.noise == 2 ? 2 : 1);
    config.MicrophoneVolume(line.micVolume);
    config.SystemVolume(line.systemVolume);
    config.DuckingEnabled(line.ducking);
    return config;
}

// What the recorder reports, gathered from its events.
struct Observed {
    std::mutex mutex;
    std::condition_variable changed;
    std::string error;
    std::string lastEngineLine;
    bool recording = false;  // errors from now on are said at once
    bool said = false;       // the error has been said
    bool stopped = false;
    int32_t dropped = 0;
    double elapsed = 0.0;  // as the last progress said, for a recording that stopped by itself
};

void Subscribe(NativeRecorder& recorder, Observed& observed, const std::string& output) {
    const bool terminal = isatty(STDERR_FILENO) != 0;
    recorder.ErrorOccurred([&observed](NativeRecorder&, const std::string& message) {
        std::lock_guard lock(observed.mutex);
        observed.error = message;
        if (observed.recording) {
            std::fprintf(stderr, "\ntamro-record: %s\n", message.c_str());
            observed.said = true;
        }
    });
    recorder.ProgressUpdated([&observed, terminal, output](
                                 NativeRecorder& r, const std::shared_ptr<RecordingProgress>& p) {
        {
            std::lock_guard lock(observed.mutex);
            observed.dropped = p->DroppedFrames();
            observed.elapsed = p->ElapsedSeconds();
        }
        // The file as it is on disk, which the writer fills as it goes.
        std::error_code error;
        const auto bytes = std::filesystem::file_size(output, error);
        const std::string text =
            FormatProgress(p->ElapsedSeconds(), p->Fps(), p->DroppedFrames(),
                           error ? 0 : static_cast<int64_t>(bytes), r.IsPaused());
        // On a terminal the line is rewritten in place and cleared to its end. A reader of the
        // output that went away stops the recording, as it would have stopped a program writing
        // from its main thread.
        if (std::fprintf(stderr, terminal ? "\r%s\x1b[K" : "%s\n", text.c_str()) < 0 &&
            errno == EPIPE)
            kill(getpid(), SIGPIPE);
    });
    recorder.RecordingStopped([&observed](NativeRecorder&, const std::string&) {
        std::lock_guard lock(observed.mutex);
        observed.stopped = true;
        observed.changed.notify_all();
    });
}

// Takes a pending stop signal, waiting for one up to `wait`.
bool StopSignalled(const sigset_t& stopSignals, std::chrono::milliseconds wait = 0ms) {
    const timespec timeout{static_cast<time_t>(wait.count() / 1000),
                           static_cast<long>(wait.count() % 1000 * 1'000'000)};
    return sigtimedwait(&stopSignals, nullptr, &timeout) > 0;
}

// The focus zoom's moments in --zoom-tour, in recorded seconds.
struct ZoomTour {
    static constexpr double kFocusOn = 1.5;
    static constexpr double kPulse = 5.0;
    static constexpr double kFocusOff = 8.0;
    int done = 0;

    void Advance(NativeRecorder& recorder) {
        const double at = recorder.ElapsedSeconds();
        if (done == 0 && at >= kFocusOn) {
            recorder.ToggleCursorFocus(true);
            ++done;
        } else if (done == 1 && at >= kPulse) {
            recorder.PulseAtCursor();
            ++done;
        } else if (done == 2 && at >= kFocusOff) {
            recorder.ToggleCursorFocus(false);
            ++done;
        }
    }
};

// Carries out a typed command; false for the one that stops the recording.
bool RunCommand(NativeRecorder& recorder, const std::string& command) {
    if (command == "z") {
        recorder.ToggleCursorFocus(!recorder.IsCursorFocusActive());
    } else if (command == "p") {
        recorder.PulseAtCursor();
    } else if (command == " ") {
        if (recorder.IsPaused())
            recorder.Resume();
        else
            recorder.Pause();
        std::fprintf(stderr, recorder.IsPaused() ? "\nPaused; space resumes\n" : "\nResumed\n");
    } else if (command == "q") {
        return false;
    }
    return true;
}

// Until the time is up, a stop signal arrives or the recorder stops by itself; meanwhile typed
// commands and the zoom tour are carried out.
void WaitForEnd(NativeRecorder& recorder, const CommandLine& line, const sigset_t& stopSignals,
                ConsoleInput& input, Observed& observed) {
    ZoomTour tour;
    for (;;) {
        {
            std::lock_guard lock(observed.mutex);
            if (observed.stopped)
                return;
        }
        auto wait = 100ms;
        if (line.seconds) {
            const double left = *line.seconds - recorder.ElapsedSeconds();
            if (left <= 0)
                return;
            wait = std::min(wait, std::chrono::milliseconds(static_cast<int64_t>(left * 1000) + 1));
        }
        if (input.Ended()) {
            if (StopSignalled(stopSignals, wait))
                return;
        } else {
            if (const auto command = input.NextCommand(wait);
                command && !RunCommand(recorder, *command))
                return;
            if (StopSignalled(stopSignals))
                return;
        }
        if (line.zoomTour)
            tour.Advance(recorder);
    }
}

// Waits for Enter (or the end of input), the start delay or a stop signal; false on the signal.
// A countdown shows each second left.
bool WaitForStartCue(const CommandLine& line, const sigset_t& stopSignals, ConsoleInput& input) {
    const auto startAt = line.startAfterMs ? std::chrono::steady_clock::now() +
                                                 std::chrono::milliseconds(*line.startAfterMs)
                                           : std::chrono::steady_clock::time_point::max();
    int64_t shown = -1;
    while (std::chrono::steady_clock::now() < startAt) {
        if (StopSignalled(stopSignals))
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            startAt - std::chrono::steady_clock::now());
        if (const int64_t seconds = (left.count() + 999) / 1000;
            line.countdownSeconds > 0 && seconds != shown && seconds > 0) {
            std::fprintf(stderr, "%lld...\n", static_cast<long long>(seconds));
            shown = seconds;
        }
        const auto wait = std::clamp(left, 0ms, 20ms);
        if (input.Ended()) {
            if (!line.startAfterMs)
                return true;
            if (StopSignalled(stopSignals, wait))
                return false;
        } else if (input.NextCommand(wait)) {
            return true;
        }
    }
    return !StopSignalled(stopSignals);
}

// Said by the engine when the window it records goes away.
constexpr const char* kWindowClosed = "the recorded window was closed";

int Fail(const std::string& message) {
    std::fprintf(stderr, "tamro-record: %s\n", message.c_str());
    return kExitFailed;
}

void Warn(const std::string& message) {
    std::fprintf(stderr, "tamro-record: %s\n", message.c_str());
}

const AudioDeviceDescription* FindDevice(const std::vector<AudioDeviceDescription>& devices,
                                         const std::string& id) {
    const auto found = std::find_if(devices.begin(), devices.end(), [&](const auto& d) {
        return id.empty() ? d.isDefault : d.id == id;
    });
    return found == devices.end() ? nullptr : &*found;
}

// Says now what the recording will not hear, and leaves out of the file the sound that cannot be
// captured at all rather than writing a silent track; a microphone named on the command line keeps
// its track.
void SettleAudio(CommandLine& line, const std::optional<AudioDescription>& audio) {
    if (!line.microphone && !line.systemAudio)
        return;
    if (!audio) {
        Warn("no audio server: recording without sound");
        line.microphone = line.microphone && !line.micId.empty();
        line.systemAudio = false;
        return;
    }
    if (line.microphone && !line.micId.empty() && !FindDevice(audio->microphones, line.micId)) {
        const AudioDeviceDescription* fallback = FindDevice(audio->microphones, "");
        if (fallback)
            Warn("microphone '" + line.micId + "' not found: using the default '" + fallback->id +
                 "'");
        else
            Warn("microphone '" + line.micId + "' not found and there is no default microphone");
    } else if (line.microphone && audio->microphones.empty()) {
        Warn("no microphone: recording without one");
        line.microphone = false;
    }
    if (line.systemAudio && audio->outputs.empty() && line.target != Target::kWindow) {
        Warn("no system output: recording without system sound");
        line.systemAudio = false;
    }
}

// The size of the video: as asked, else the size of what is recorded.
std::pair<uint32_t, uint32_t> VideoSize(const CommandLine& line,
                                        const DesktopDescription& desktop) {
    if (line.width > 0 && line.height > 0)
        return {line.width, line.height};
    if (line.target == Target::kRegion)
        return {static_cast<uint32_t>(line.region.Width),
                static_cast<uint32_t>(line.region.Height)};
    if (line.target == Target::kWindow) {
        for (const WindowDescription& w : desktop.windows) {
            if (w.id == line.window)
                return {w.width, w.height};
        }
    }
    for (const MonitorDescription& m : desktop.monitors) {
        if (line.monitor == 0 ? m.primary : m.id == line.monitor)
            return {m.width, m.height};
    }
    return desktop.monitors.empty()
               ? std::pair<uint32_t, uint32_t>{1920, 1080}
               : std::pair{desktop.monitors[0].width, desktop.monitors[0].height};
}

int Record(const CommandLine& line, ScreenSource source, const sigset_t& stopSignals,
           const DesktopDescription& desktop) {
    Observed observed;
    std::optional<DiagnosticsListener> engineLines;
    if (!line.verbose) {
        SetDiagnosticsToStandardError(false);
        engineLines.emplace([&observed](std::string_view text) {
            std::lock_guard lock(observed.mutex);
            observed.lastEngineLine.assign(text.substr(0, text.find_last_not_of('\n') + 1));
            if (const std::optional<std::string> notice = UserNotice(text)) {
                std::fprintf(stderr, "\ntamro-record: %s\n", notice->c_str());
            }
        });
    }
    const std::shared_ptr<NativeRecorder> recorder = NativeRecorder::Create(source);
    Subscribe(*recorder, observed, line.output);
    if (!line.camera.device.empty()) {
        const auto [width, height] = VideoSize(line, desktop);
        recorder->SetCameraOverlayConfig(MakeCameraOverlay(line.camera, width, height));
    }

    ConsoleInput input;
    bool started = false;
    try {
        if (!line.prepare) {
            started = recorder->StartAsync(MakeConfig(line))->Get();
        } else if (recorder->PrepareAsync(MakeConfig(line))->Get()) {
            if (line.countdownSeconds == 0) {
                std::fprintf(stderr,
                             line.startAfterMs ? "Ready; starting in %u ms\n"
                                               : "Ready; Enter starts the recording\n",
                             line.startAfterMs.value_or(0));
            }
            if (!WaitForStartCue(line, stopSignals, input)) {
                recorder->DiscardPrepared();
                return Fail("stopped before the recording started; nothing was recorded");
            }
            started = recorder->StartPreparedAsync()->Get();
        } else {
            std::lock_guard lock(observed.mutex);
            if (observed.error.empty())
                observed.error = "the recording could not be prepared";
        }
    } catch (const std::exception& e) {
        return Fail(std::string("the recording could not start: ") + e.what());
    }
    if (!started) {
        std::lock_guard lock(observed.mutex);
        std::string message =
            observed.error.empty() ? "the recording could not start" : observed.error;
        // The engine's line adds nothing when it is the error itself.
        if (!observed.lastEngineLine.empty() &&
            observed.lastEngineLine.find(message) == std::string::npos)
            message += " (" + observed.lastEngineLine + ")";
        return Fail(message);
    }
    {
        std::lock_guard lock(observed.mutex);
        observed.recording = true;
        // Said by a start that went ahead without a part (the camera's bubble): said now.
        if (!observed.error.empty()) {
            std::fprintf(stderr, "tamro-record: %s\n", observed.error.c_str());
            observed.said = true;
        }
    }
    if (line.zoom)
        recorder->ToggleCursorFocus(true);
    std::fprintf(stderr, "Recording to %s%s%s\n", line.output.c_str(),
                 input.TakesKeys() ? "; space pauses" : "",
                 line.seconds        ? ""
                 : input.TakesKeys() ? ", q or Ctrl-C stops"
                                     : "; Ctrl-C stops");

    WaitForEnd(*recorder, line, stopSignals, input, observed);
    double seconds = recorder->ElapsedSeconds();
    if (!recorder->IsRecording()) {
        std::lock_guard lock(observed.mutex);
        seconds = observed.elapsed;
    }
    recorder->Stop();
    {
        std::unique_lock lock(observed.mutex);
        observed.changed.wait_for(lock, 10s, [&] { return observed.stopped; });
    }
    if (isatty(STDERR_FILENO))
        std::fprintf(stderr, "\n");

    std::error_code error;
    const auto bytes = std::filesystem::file_size(line.output, error);
    if (error)
        return Fail("no file was written to " + line.output);
    std::lock_guard lock(observed.mutex);
    // The file has one frame every 1/fps second, however short the recording was.
    std::printf("%s\n", FormatSummary(line.output, seconds, line.fps, observed.dropped,
                                      static_cast<int64_t>(bytes))
                            .c_str());
    // The recording's own failure is said once, as it happened; the file keeps what came before.
    // A recorded window that was closed ends the recording as the user meant it to.
    if (observed.error.empty() || observed.error == kWindowClosed)
        return 0;
    return observed.said ? kExitFailed : Fail(observed.error);
}

int Run(int argc, char** argv) {
    // Blocked before anything else, so that an early Ctrl-C is taken by the waiting loop (and
    // before any thread starts, so that no other thread takes it).
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    // A closed terminal and a closed reader of the output stop the recording as Ctrl-C does.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "tamro-record: %s\nTry 'tamro-record --help'.\n", error->c_str());
        return kExitUsage;
    }
    CommandLine line = std::get<CommandLine>(std::move(parsed));
    if (line.help) {
        std::printf("%s", UsageText().c_str());
        return 0;
    }

    if (!line.verbose)
        SetDiagnosticsToStandardError(false);
    ScreenSource source = line.synthetic ? ScreenSource::kSynthetic : ScreenSource::kDesktop;
    const std::optional<DesktopDescription> desktop = DescribeDesktop(source);
    if (!desktop) {
        const char* name = std::getenv("DISPLAY");
        return Fail(name && *name ? std::string("cannot open display ") + name
                                  : "no X display: DISPLAY is not set (--synthetic records the "
                                    "built-in scene)");
    }
    const std::optional<AudioDescription> audio = DescribeAudio(source);
    if (line.list) {
        PrintDesktop(*desktop, source);
        PrintAudio(audio);
        PrintCameras(DescribeCameras());
        return 0;
    }
    if (line.output.empty())
        line.output = DefaultOutputName();
    if (auto error = CheckTarget(line, *desktop))
        return Fail(*error);
    if (auto error = CheckOutput(line.output, line.overwrite))
        return Fail(*error);
    WarnOfLowSpace(line.output);
    SettleAudio(line, audio);
    return Record(line, source, stopSignals, *desktop);
}

}  // namespace
}  // namespace tamro::cli

int main(int argc, char** argv) {
    return tamro::cli::Run(argc, argv);
}
