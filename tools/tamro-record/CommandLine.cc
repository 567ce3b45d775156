#include "CommandLine.h"

#include <cmath>

#include "OptionParser.h"

namespace tamro::cli {
namespace {

// "0x1a" or "26".
bool ParseId(const std::string& text, uint64_t* id) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data() + 2, end, *id, 16);
        return error == std::errc() && stop == end;
    }
    return ParseNumber(text, id);
}

// The largest side libx264 and common players take.
constexpr uint32_t kMaxSide = 8192;

// "1280x720".
bool ParseSize(const std::string& text, uint32_t* width, uint32_t* height) {
    const size_t x = text.find('x');
    return x != std::string::npos && ParseNumber(text.substr(0, x), width) &&
           ParseNumber(text.substr(x + 1), height) && *width >= 2 && *height >= 2 &&
           *width <= kMaxSide && *height <= kMaxSide;
}

// "X,Y,W,H".
bool ParseRegion(const std::string& text, CaptureRect* region) {
    int32_t* fields[] = {&region->X, &region->Y, &region->Width, &region->Height};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = i < 3 ? text.find(',', start) : text.size();
        if (comma == std::string::npos ||
            !ParseNumber(text.substr(start, comma - start), fields[i]))
            return false;
        start = comma + 1;
    }
    return region->Width > 0 && region->Height > 0;
}

std::optional<std::string> ParseVolume(const char* name, const std::string& text, double* volume) {
    if (!ParseNumber(text, volume) || !std::isfinite(*volume) || *volume < 0 || *volume > 2)
        return std::string(name) + " needs a volume from 0 to 2, not '" + text + "'";
    return std::nullopt;
}

// An integer from `low` to `high`, or the reason it is refused.
std::optional<std::string> ParseInRange(const char* name, const std::string& text, int32_t low,
                                        int32_t high, const char* what, int32_t* value) {
    int32_t parsed = 0;
    if (!ParseNumber(text, &parsed) || parsed < low || parsed > high) {
        return std::string(name) + " needs " + what + " from " + std::to_string(low) + " to " +
               std::to_string(high) + ", not '" + text + "'";
    }
    *value = parsed;
    return std::nullopt;
}

// Each option that takes a value, with the reason its value is refused.
std::map<std::string, ValueParser<CommandLine>> ValueOptions() {
    return {
        {"--output",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             c.output = v;
             return std::nullopt;
         }},
        {"--seconds",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             // A year: longer counts would overflow the waits in milliseconds.
             constexpr double kMaxSeconds = 365.0 * 24 * 3600;
             double seconds = 0;
             if (!ParseNumber(v, &seconds) || !std::isfinite(seconds) || seconds <= 0 ||
                 seconds > kMaxSeconds)
                 return "--seconds needs a positive number up to 31536000 (a year), not '" + v +
                        "'";
             c.seconds = seconds;
             return std::nullopt;
         }},
        {"--monitor",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (v.empty())
                 return std::string("--monitor needs a monitor id or name (see --list)");
             c.monitor = 0;
             c.monitorName.clear();
             if (!ParseId(v, &c.monitor))
                 c.monitorName = v;
             c.target = Target::kMonitor;
             return std::nullopt;
         }},
        {"--window",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (!ParseId(v, &c.window) || c.window == 0)
                 return "--window needs a window id (see --list), not '" + v + "'";
             c.target = Target::kWindow;
             return std::nullopt;
         }},
        {"--region",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (!ParseRegion(v, &c.region))
                 return "--region needs X,Y,W,H with a positive width and height, not '" + v + "'";
             c.target = Target::kRegion;
             return std::nullopt;
         }},
        {"--size",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (!ParseSize(v, &c.width, &c.height))
                 return "--size needs WIDTHxHEIGHT, each from 2 to 8192, not '" + v + "'";
             return std::nullopt;
         }},
        {"--fps",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (!ParseNumber(v, &c.fps) || c.fps == 0 || c.fps > 120)
                 return "--fps needs a rate from 1 to 120, not '" + v + "'";
             return std::nullopt;
         }},
        {"--bitrate",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (!ParseNumber(v, &c.bitrate) || c.bitrate < 100'000 || c.bitrate > 200'000'000)
                 return "--bitrate needs bits per second from 100000 to 200000000, not '" + v + "'";
             return std::nullopt;
         }},
        {"--mic",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (v.empty())
                 return std::string("--mic needs a source name");
             c.micId = v;
             return std::nullopt;
         }},
        {"--noise",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (!ParseNumber(v, &c.noise) || c.noise < 0 || c.noise > 2)
                 return "--noise needs 0, 1 or 2, not '" + v + "'";
             return std::nullopt;
         }},
        {"--start-after",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             uint32_t ms = 0;
             if (!ParseNumber(v, &ms) || ms > 3'600'000)
                 return "--start-after needs milliseconds from 0 to 3600000, not '" + v + "'";
             c.startAfterMs = ms;
             c.prepare = true;
             return std::nullopt;
         }},
        {"--profile",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             static const std::map<std::string, int32_t> profiles = {
                 {"high", 0}, {"main", 1}, {"baseline", 2}};
             const auto found = profiles.find(v);
             if (found == profiles.end())
                 return "--profile needs baseline, main or high, not '" + v + "'";
             c.profile = found->second;
             return std::nullopt;
         }},
        {"--speed",
         [](const std::string& v, CommandLine& c) {
             return ParseInRange("--speed", v, 0, 100, "a value", &c.speed);
         }},
        {"--keyframe-interval",
         [](const std::string& v, CommandLine& c) {
             return ParseInRange("--keyframe-interval", v, 1, 60, "seconds", &c.keyframeSeconds);
         }},
        {"--bframes",
         [](const std::string& v, CommandLine& c) {
             return ParseInRange("--bframes", v, 0, 16, "a count", &c.bFrames);
         }},
        {"--audio-bitrate",
         [](const std::string& v, CommandLine& c) {
             return ParseInRange("--audio-bitrate", v, 32'000, 320'000, "bits per second",
                                 &c.audioBitrate);
         }},
        {"--countdown",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             int32_t seconds = 0;
             if (auto error = ParseInRange("--countdown", v, 1, 60, "seconds", &seconds))
                 return error;
             c.countdownSeconds = static_cast<uint32_t>(seconds);
             return std::nullopt;
         }},
        {"--camera",
         [](const std::string& v, CommandLine& c) -> std::optional<std::string> {
             if (v.empty())
                 return std::string("--camera needs a camera id (see --list) or test:720p30");
             c.camera.device = v;
             return std::nullopt;
         }},
        {"--camera-rect",
         [](const std::string& v, CommandLine& c) { return ParseCameraRect(v, c.camera); }},
        {"--camera-shape",
         [](const std::string& v, CommandLine& c) { return ParseCameraShape(v, c.camera); }},
        {"--camera-border",
         [](const std::string& v, CommandLine& c) { return ParseCameraBorder(v, c.camera); }},
        {"--camera-effect",
         [](const std::string& v, CommandLine& c) { return ParseCameraEffect(v, c.camera); }},
        {"--effect-quality",
         [](const std::string& v, CommandLine& c) { return ParseEffectQuality(v, c.camera); }},
        {"--mic-volume",
         [](const std::string& v, CommandLine& c) {
             return ParseVolume("--mic-volume", v, &c.micVolume);
         }},
        {"--system-volume",
         [](const std::string& v, CommandLine& c) {
             return ParseVolume("--system-volume", v, &c.systemVolume);
         }},
    };
}

FlagSetter<CommandLine> Set(bool CommandLine::*member, bool value) {
    return [member, value](CommandLine& line) { line.*member = value; };
}

std::map<std::string, FlagSetter<CommandLine>> Flags() {
    return {
        {"--no-cursor", Set(&CommandLine::cursor, false)},
        {"--cavlc", Set(&CommandLine::cavlc, true)},
        {"--no-mic", Set(&CommandLine::microphone, false)},
        {"--no-system-audio", Set(&CommandLine::systemAudio, false)},
        {"--window-audio-only", Set(&CommandLine::windowAudioOnly, true)},
        {"--ducking", Set(&CommandLine::ducking, true)},
        {"--zoom", Set(&CommandLine::zoom, true)},
        {"--zoom-tour", Set(&CommandLine::zoomTour, true)},
        {"--prepare", Set(&CommandLine::prepare, true)},
        {"--synthetic", Set(&CommandLine::synthetic, true)},
        {"--camera-mirror", Set(&CommandLine::cameraMirror, true)},
        {"--overwrite", Set(&CommandLine::overwrite, true)},
        {"-y", Set(&CommandLine::overwrite, true)},
        {"--list", Set(&CommandLine::list, true)},
        {"--verbose", Set(&CommandLine::verbose, true)},
        {"--help", Set(&CommandLine::help, true)},
        {"-h", Set(&CommandLine::help, true)},
    };
}

const OptionTables<CommandLine>& Options() {
    static const OptionTables<CommandLine> tables = {
        Flags(), ValueOptions(), {{"-o", "--output"}, {"-t", "--seconds"}, {"-r", "--fps"}}};
    return tables;
}

// Options that only make sense together.
std::optional<std::string> CheckCombination(CommandLine& line) {
    if (line.windowAudioOnly && line.target != Target::kWindow)
        return "--window-audio-only needs --window";
    line.camera.mirror = line.cameraMirror;
    const bool cameraLooks = line.camera.rect || line.camera.shape != CameraShape::kCircle ||
                             line.camera.borderPixels > 0 || line.cameraMirror ||
                             line.camera.effect.Mode != 0 || line.camera.effectQualityGiven;
    if (cameraLooks && line.camera.device.empty())
        return "--camera-rect, --camera-shape, --camera-border, --camera-mirror, --camera-effect "
               "and --effect-quality need --camera";
    if (line.countdownSeconds > 0) {
        if (line.prepare)
            return "--countdown cannot go with --prepare or --start-after";
        line.prepare = true;
        line.startAfterMs = line.countdownSeconds * 1000;
    }
    return std::nullopt;
}

}  // namespace

std::variant<CommandLine, std::string> ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    if (auto error = ParseOptions(args, Options(), line))
        return *error;
    if (auto error = CheckCombination(line))
        return *error;
    return line;
}

std::string UsageText() {
    return "Usage: tamro-record [options]\n"
           "Records a monitor, a window or a region of a monitor, with its sound, into an\n"
           "MP4 file (H.264 video, AAC sound).\n"
           "\n"
           "What to record:\n"
           "  --monitor ID|NAME     a monitor by id or output name (default: the primary)\n"
           "  --window ID           one window\n"
           "  --region X,Y,W,H      a region of the monitor, from its top-left corner\n"
           "  --no-cursor           leave the mouse cursor out (default: drawn)\n"
           "  --synthetic           the built-in animated scene and sounds, not the desktop\n"
           "  --list                print the monitors, windows, microphones, outputs and\n"
           "                        cameras\n"
           "\n"
           "Output and video:\n"
           "  -o, --output FILE     the MP4 file (default: recording-DATE-TIME.mp4 here)\n"
           "  -y, --overwrite       replace FILE if it exists (default: refuse)\n"
           "  --size WxH            video size, each side 2 to 8192, rounded down to even;\n"
           "                        the picture is letterboxed, never stretched\n"
           "                        (default: the recorded size)\n"
           "  -r, --fps N           frames per second, 1 to 120 (default: 30)\n"
           "  --bitrate BPS         video bits per second (default: 4000000)\n"
           "  --profile P           H.264 profile: baseline, main or high (default: main)\n"
           "  --speed 0-100         quality against speed: lower is faster (default: 50)\n"
           "  --keyframe-interval S seconds between key frames, 1 to 60 (default: 1)\n"
           "  --bframes N           B-frames between reference frames, 0 to 16 (default: 0)\n"
           "  --cavlc               CAVLC entropy coding (default: CABAC)\n"
           "\n"
           "Audio:\n"
           "  --no-system-audio     record no system sound (default: the default output)\n"
           "  --no-mic              record no microphone (default: the default microphone)\n"
           "  --mic ID              the microphone, a PulseAudio source (see --list)\n"
           "  --window-audio-only   with --window: only the sound of the window's program\n"
           "  --mic-volume V        microphone volume from 0 to 2 (default: 1)\n"
           "  --system-volume V     system sound volume from 0 to 2 (default: 0.5)\n"
           "  --noise 0|1|2         mic noise removal: off, gentle, strong (default: 0)\n"
           "  --ducking             lower the system sound while you speak (default: off)\n"
           "  --audio-bitrate BPS   AAC bits per second, 32000 to 320000 (default: 192000)\n"
           "\n"
           "Camera:\n"
           "  --camera ID           the webcam as a bubble in the video (see --list);\n"
           "                        test:720p30 or test:WxH@FPS is the built-in test camera\n"
           "  --camera-rect X,Y,W,H the bubble's rectangle as fractions of the video\n"
           "                        (default: bottom-right, a fifth of the height across)\n"
           "  --camera-shape S      circle, rounded or square (default: circle)\n"
           "  --camera-border C/W   a border of colour #RRGGBB, W pixels wide; C/W/dashed\n"
           "                        for a dashed one (default: none)\n"
           "  --camera-mirror       show the camera mirrored, as in a mirror\n"
           "  --camera-effect E     the camera's background: none, blur, blur:light,\n"
           "                        blur:strong, color:0-5, gradient:0-3 or image:0-12\n"
           "  --effect-quality Q    find the person in every frame, or every 2nd (half) or\n"
           "                        3rd (third), or as the load allows (default: auto)\n"
           "\n"
           "Zoom:\n"
           "  --zoom                zoom in on the mouse cursor from the start\n"
           "  --zoom-tour           zoom in at 1.5 s, pulse at 5 s, zoom out at 8 s\n"
           "\n"
           "Start and stop:\n"
           "  -t, --seconds N       stop after N seconds (default: when stopped)\n"
           "  --countdown N         count N seconds down, 1 to 60, then start at once\n"
           "  --prepare             get everything ready, then start on Enter\n"
           "  --start-after MS      get ready, then start MS milliseconds later\n"
           "  --verbose             show the engine's diagnostic lines\n"
           "  -h, --help            show this text\n"
           "\n"
           "Options take their value as --option VALUE or --option=VALUE.\n"
           "\n"
           "While recording, keys control it (from a pipe, as lines): space pauses and\n"
           "resumes, z switches the cursor zoom on or off, p zooms in briefly at the cursor\n"
           "and q stops. Ctrl-C, SIGTERM, a closed terminal or a closed reader of the output\n"
           "also stop the recording and finish the file. An existing file is never replaced\n"
           "without -y.\n"
           "\n"
           "Examples:\n"
           "  tamro-record -t 10 -o demo.mp4            the primary monitor for 10 s\n"
           "  tamro-record --window 0x2a00007 --window-audio-only --no-mic\n"
           "  tamro-record --region 0,0,1280,720 -r 60 --mic alsa_input.usb-mic\n"
           "  tamro-record --monitor HDMI-1 --size 1280x720 --countdown 3 -y -o talk.mp4\n"
           "  tamro-record --camera test:720p30 --camera-border '#ffffff/4' -t 10\n";
}

}  // namespace tamro::cli
