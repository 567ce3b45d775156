#include "PreviewCommandLine.h"

#include <cmath>

#include "OptionParser.h"

namespace tamro::preview {
namespace {

// The bubble window's side: large enough to see a face, no larger than a 1080p screen.
constexpr uint32_t kMinSize = 64;
constexpr uint32_t kMaxSize = 1080;
// A year: longer counts would overflow the waits in milliseconds.
constexpr double kMaxSeconds = 365.0 * 24 * 3600;

using cli::ParseNumber;

std::map<std::string, cli::ValueParser<PreviewCommandLine>> ValueOptions() {
    return {
        {"--camera",
         [](const std::string& v, PreviewCommandLine& c) -> std::optional<std::string> {
             if (v.empty())
                 return std::string("--camera needs a camera id or test:720p30");
             c.camera.device = v;
             return std::nullopt;
         }},
        {"--camera-effect",
         [](const std::string& v, PreviewCommandLine& c) {
             return cli::ParseCameraEffect(v, c.camera);
         }},
        {"--camera-shape",
         [](const std::string& v, PreviewCommandLine& c) {
             return cli::ParseCameraShape(v, c.camera);
         }},
        {"--size",
         [](const std::string& v, PreviewCommandLine& c) -> std::optional<std::string> {
             if (!ParseNumber(v, &c.size) || c.size < kMinSize || c.size > kMaxSize)
                 return "--size needs the bubble's side in pixels, " + std::to_string(kMinSize) +
                        " to " + std::to_string(kMaxSize) + ", not '" + v + "'";
             return std::nullopt;
         }},
        {"--record",
         [](const std::string& v, PreviewCommandLine& c) -> std::optional<std::string> {
             if (v.size() < 5 || v.compare(v.size() - 4, 4, ".mp4") != 0)
                 return "--record needs an MP4 file named .mp4, not '" + v + "'";
             c.record = v;
             return std::nullopt;
         }},
        {"--seconds",
         [](const std::string& v, PreviewCommandLine& c) -> std::optional<std::string> {
             double seconds = 0;
             if (!ParseNumber(v, &seconds) || !std::isfinite(seconds) || seconds <= 0 ||
                 seconds > kMaxSeconds)
                 return "--seconds needs a positive number up to 31536000 (a year), not '" + v +
                        "'";
             c.seconds = seconds;
             return std::nullopt;
         }},
    };
}

std::map<std::string, cli::FlagSetter<PreviewCommandLine>> Flags() {
    return {
        {"--synthetic", [](PreviewCommandLine& c) { c.synthetic = true; }},
        {"--camera-mirror", [](PreviewCommandLine& c) { c.camera.mirror = true; }},
        {"--overwrite", [](PreviewCommandLine& c) { c.overwrite = true; }},
        {"-y", [](PreviewCommandLine& c) { c.overwrite = true; }},
        {"--verbose", [](PreviewCommandLine& c) { c.verbose = true; }},
        {"--help", [](PreviewCommandLine& c) { c.help = true; }},
        {"-h", [](PreviewCommandLine& c) { c.help = true; }},
    };
}

const cli::OptionTables<PreviewCommandLine>& Options() {
    static const cli::OptionTables<PreviewCommandLine> tables = {
        Flags(), ValueOptions(), {{"-t", "--seconds"}}};
    return tables;
}

std::optional<std::string> CheckCombination(const PreviewCommandLine& line) {
    if (line.help)
        return std::nullopt;
    if (line.camera.device.empty())
        return "--camera is needed: a camera id (tamro-record --list) or test:720p30";
    if (line.synthetic && line.record.empty())
        return "--synthetic needs --record: it is the screen the recording shows";
    if (line.overwrite && line.record.empty())
        return "--overwrite needs --record";
    return std::nullopt;
}

}  // namespace

std::variant<PreviewCommandLine, std::string> ParsePreviewCommandLine(
    const std::vector<std::string>& args) {
    PreviewCommandLine line;
    if (auto error = cli::ParseOptions(args, Options(), line))
        return *error;
    if (auto error = CheckCombination(line))
        return *error;
    return line;
}

std::string PreviewUsageText() {
    return "Usage: tamro-preview --camera ID [options]\n"
           "Shows the camera live in a round bubble window at the bottom-right of the screen,\n"
           "with its background blurred or replaced, and can record the screen with that\n"
           "same camera in it.\n"
           "\n"
           "  --camera ID           the camera: a /dev/video* node or its /dev/v4l/by-id/ name;\n"
           "                        test:720p30 is the built-in test camera\n"
           "  --camera-effect E     the background: none, blur, blur:light, blur:strong,\n"
           "                        color:0-5, gradient:0-3 or image:0-12 (default: none)\n"
           "  --camera-shape S      circle, rounded or square (default: circle)\n"
           "  --camera-mirror       show the camera mirrored, as in a mirror\n"
           "  --size PX             the bubble's side in pixels, 64 to 1080 (default: 320)\n"
           "  --record FILE         also record the primary monitor, with the bubble, to FILE\n"
           "                        (.mp4); the camera is opened once for both\n"
           "  --synthetic           with --record: record the built-in scene instead\n"
           "  -y, --overwrite       with --record: replace FILE if it exists\n"
           "  -t, --seconds N       quit after N seconds (default: when quit)\n"
           "  --verbose             show the engine's diagnostic lines\n"
           "  -h, --help            show this text\n"
           "\n"
           "Keys in the bubble window: e the next effect (none, blur, strong blur, colour,\n"
           "gradient, picture), s the next shape, m mirror on or off, q or Escape quits;\n"
           "closing the window, Ctrl-C or SIGTERM quit too. The left mouse button drags\n"
           "the bubble.\n";
}

}  // namespace tamro::preview
