#include "CommandLine.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace tamro::cli {
namespace {

template <typename T>
bool ParseNumber(const std::string& text, T* value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value);
    return error == std::errc() && stop == end;
}

// "0x1a" or "26".
bool ParseId(const std::string& text, uint64_t* id) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data() + 2, end, *id, 16);
        return error == std::errc() && stop == end;
    }
    return ParseNumber(text, id);
}

// "1280x720".
bool ParseSize(const std::string& text, uint32_t* width, uint32_t* height) {
    const size_t x = text.find('x');
    return x != std::string::npos && ParseNumber(text.substr(0, x), width) &&
           ParseNumber(text.substr(x + 1), height) && *width > 0 && *height > 0;
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

using ValueParser = std::function<std::optional<std::string>(const std::string&, CommandLine&)>;

// Each option that takes a value, with the reason its value is refused.
const std::map<std::string, ValueParser>& ValueOptions() {
    static const std::map<std::string, ValueParser> options = {
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
             if (!ParseId(v, &c.monitor))
                 return "--monitor needs a monitor id (see --list), not '" + v + "'";
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
                 return "--size needs WIDTHxHEIGHT with positive numbers, not '" + v + "'";
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
        {"--mic-volume",
         [](const std::string& v, CommandLine& c) {
             return ParseVolume("--mic-volume", v, &c.micVolume);
         }},
        {"--system-volume",
         [](const std::string& v, CommandLine& c) {
             return ParseVolume("--system-volume", v, &c.systemVolume);
         }},
    };
    return options;
}

struct Flag {
    bool CommandLine::*member;
    bool value;
};

const std::map<std::string, Flag>& Flags() {
    static const std::map<std::string, Flag> flags = {
        {"--no-cursor", {&CommandLine::cursor, false}},
        {"--no-mic", {&CommandLine::microphone, false}},
        {"--no-system-audio", {&CommandLine::systemAudio, false}},
        {"--window-audio-only", {&CommandLine::windowAudioOnly, true}},
        {"--ducking", {&CommandLine::ducking, true}},
        {"--zoom", {&CommandLine::zoom, true}},
        {"--zoom-tour", {&CommandLine::zoomTour, true}},
        {"--prepare", {&CommandLine::prepare, true}},
        {"--synthetic", {&CommandLine::synthetic, true}},
        {"--overwrite", {&CommandLine::overwrite, true}},
        {"-y", {&CommandLine::overwrite, true}},
        {"--list", {&CommandLine::list, true}},
        {"--verbose", {&CommandLine::verbose, true}},
        {"--help", {&CommandLine::help, true}},
        {"-h", {&CommandLine::help, true}},
    };
    return flags;
}

}  // namespace

// The long name of a short option that takes a value, or the argument itself.
std::string LongName(const std::string& arg) {
    static const std::map<std::string, std::string> shortNames = {
        {"-o", "--output"}, {"-t", "--seconds"}, {"-r", "--fps"}};
    const auto found = shortNames.find(arg);
    return found == shortNames.end() ? arg : found->second;
}

std::variant<CommandLine, std::string> ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = LongName(args[i]);
        std::optional<std::string> attached;  // --option=value
        if (const size_t equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
            attached = arg.substr(equals + 1);
            arg.resize(equals);
        }
        if (const auto flag = Flags().find(arg); flag != Flags().end() && !attached) {
            line.*(flag->second.member) = flag->second.value;
        } else if (const auto option = ValueOptions().find(arg); option != ValueOptions().end()) {
            if (!attached && i + 1 == args.size())
                return arg + " needs a value";
            if (auto error = option->second(attached ? *attached : args[++i], line))
                return *error;
        } else if (flag != Flags().end()) {
            return arg + " takes no value";
        } else {
            return "unknown option '" + args[i] + "'";
        }
    }
    return line;
}

std::string UsageText() {
    return "Usage: tamro-record [options]\n"
           "Records a monitor, a window or a region of a monitor into an H.264 MP4.\n"
           "\n"
           "  -o, --output FILE    the MP4 file to write (default: recording-DATE-TIME.mp4)\n"
           "  -y, --overwrite      replace FILE if it exists (default: refuse)\n"
           "  -t, --seconds N      stop after N seconds (default: at Ctrl-C)\n"
           "  --monitor ID         record a monitor (default: the primary one)\n"
           "  --window ID          record one window\n"
           "  --region X,Y,W,H     record a region of the monitor, from its top-left corner\n"
           "  --size WxH           size of the video (default: the recorded size)\n"
           "  -r, --fps N          frames per second, 1 to 120; the file has exactly this rate\n"
           "                       (default: 30)\n"
           "  --bitrate BPS        video bits per second (default: 4000000)\n"
           "  --no-cursor          leave the mouse cursor out\n"
           "  --no-mic             record no microphone\n"
           "  --no-system-audio    record no system sound\n"
           "  --mic ID             the microphone (a PulseAudio source; default: the default one)\n"
           "  --window-audio-only  with --window: only the sound of the window's program\n"
           "  --noise 0|1|2        remove noise from the microphone: off, gentle, strong\n"
           "  --mic-volume V       microphone volume from 0 to 2 (default: 1)\n"
           "  --system-volume V    system sound volume from 0 to 2 (default: 0.5)\n"
           "  --ducking            lower the system sound while you speak\n"
           "  --zoom               zoom in on the mouse cursor from the start\n"
           "  --zoom-tour          zoom in at 1.5 s, pulse at 5 s, zoom out at 8 s\n"
           "  --prepare            get everything ready, then start on Enter\n"
           "  --start-after MS     with --prepare: start MS milliseconds after it is ready\n"
           "  --synthetic          record the built-in animated scene instead of the screen\n"
           "  --list               print the monitors and windows with their ids\n"
           "  --verbose            show the engine's diagnostic lines\n"
           "\n"
           "Options take their value as --option VALUE or --option=VALUE. While recording, 'z'\n"
           "and Enter switches the cursor zoom on or off, 'p' and Enter zooms in briefly at the\n"
           "cursor. Ctrl-C, SIGTERM, a closed terminal or a closed reader of the output stop the\n"
           "recording and finish the file.\n";
}

}  // namespace tamro::cli
