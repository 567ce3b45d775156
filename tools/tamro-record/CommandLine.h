#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "CameraOptions.h"
#include "tamro/Records.h"

namespace tamro::cli {

enum class Target { kMonitor, kWindow, kRegion };

// What the user asked for; sizes of 0 mean "the size of what is recorded".
struct CommandLine {
    std::string output;             // empty: a time-stamped name in the current folder
    std::optional<double> seconds;  // none: until Ctrl-C
    Target target = Target::kMonitor;
    uint64_t monitor = 0;     // 0 = primary
    std::string monitorName;  // a RandR output name, looked up once the monitors are known
    uint64_t window = 0;
    CaptureRect region;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 30;
    uint32_t bitrate = 4'000'000;
    int32_t profile = 1;  // 0 High, 1 Main, 2 Baseline
    int32_t speed = 50;   // quality against speed, 0 to 100
    int32_t keyframeSeconds = 1;
    int32_t bFrames = 0;
    bool cavlc = false;
    int32_t audioBitrate = 192'000;
    bool cursor = true;
    bool microphone = true;
    bool systemAudio = true;
    bool windowAudioOnly = false;  // with --window: only the window's process tree is heard
    std::string micId;             // empty: the default microphone
    int32_t noise = 0;             // 0 off, 1 gentle, 2 strong
    double micVolume = 1.0;
    double systemVolume = 0.5;
    bool ducking = false;
    bool zoom = false;      // focus on the cursor from the start
    bool zoomTour = false;  // focus on, a pulse and focus off at set times
    bool prepare = false;   // prepare, then start on Enter or after startAfterMs
    std::optional<uint32_t> startAfterMs;
    uint32_t countdownSeconds = 0;  // counted down on the terminal before a prepared start
    CameraOptions camera;
    bool cameraMirror = false;
    bool synthetic = false;
    bool overwrite = false;  // replace an existing output file
    bool list = false;
    bool verbose = false;
    bool help = false;
};

// The options, or the one-line reason they cannot be used.
std::variant<CommandLine, std::string> ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();

}  // namespace tamro::cli
