#include <gtest/gtest.h>

#include "CameraOptions.h"
#include "CommandLine.h"
#include "Report.h"

namespace tamro::cli {
namespace {

CommandLine Parsed(const std::vector<std::string>& args) {
    auto result = ParseCommandLine(args);
    EXPECT_TRUE(std::holds_alternative<CommandLine>(result)) << std::get<std::string>(result);
    return std::holds_alternative<CommandLine>(result) ? std::get<CommandLine>(result)
                                                       : CommandLine{};
}

std::string Refusal(const std::vector<std::string>& args) {
    auto result = ParseCommandLine(args);
    return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "";
}

TEST(CommandLineTest, CameraEffectsReachTheBubble) {
    struct Case {
        std::vector<std::string> args;
        int32_t mode, intensity, preset, quality;
    };
    const Case cases[] = {
        {{"--camera-effect", "blur"}, 1, 1, -1, 1},
        {{"--camera-effect", "blur:strong", "--effect-quality", "every"}, 1, 2, -1, 2},
        {{"--camera-effect", "color:5", "--effect-quality", "third"}, 2, 1, 5, 4},
        {{"--camera-effect", "gradient:0"}, 3, 1, 0, 1},
        {{"--camera-effect", "image:7", "--effect-quality", "half"}, 4, 1, 7, 3},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--camera", "test:720p30"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const BackgroundEffectConfig effect =
            MakeCameraOverlay(Parsed(args).camera, 1920, 1080).effect;
        EXPECT_EQ(effect.Mode, c.mode) << c.args[1];
        EXPECT_EQ(effect.BlurIntensity, c.intensity) << c.args[1];
        const int32_t preset = c.mode == 2   ? effect.SolidColorPreset
                               : c.mode == 3 ? effect.GradientPreset
                                             : effect.ImagePreset;
        if (c.preset >= 0)
            EXPECT_EQ(preset, c.preset) << c.args[1];
        EXPECT_EQ(effect.Quality, c.quality) << c.args[1];
    }
    EXPECT_EQ(MakeCameraOverlay(Parsed({"--camera", "test:720p30"}).camera, 640, 480).effect.Mode,
              0);
    for (const char* bad : {"image:13", "color:-1", "blur:huge", "gradient", "sepia"})
        EXPECT_NE(Refusal({"--camera", "x", "--camera-effect", bad}).find("--camera-effect needs"),
                  std::string::npos)
            << bad;
    EXPECT_NE(Refusal({"--camera", "x", "--effect-quality", "max"}).find("--effect-quality needs"),
              std::string::npos);
    EXPECT_NE(Refusal({"--camera-effect", "blur"}).find("need --camera"), std::string::npos);
}

TEST(CommandLineTest, OptionsReachTheirFields) {
    const CommandLine line = Parsed({"--output", "a.mp4", "--seconds", "2.5", "--region",
                                     "10,-20,640,360", "--size", "1280x720", "--fps", "60",
                                     "--bitrate", "8000000", "--no-cursor", "--synthetic", "-y"});
    EXPECT_EQ(line.output, "a.mp4");
    EXPECT_EQ(line.seconds, 2.5);
    EXPECT_EQ(line.target, Target::kRegion);
    EXPECT_EQ(line.region.Y, -20);
    EXPECT_EQ(line.region.Height, 360);
    EXPECT_EQ(line.width, 1280u);
    EXPECT_EQ(line.fps, 60u);
    EXPECT_EQ(line.bitrate, 8'000'000u);
    EXPECT_FALSE(line.cursor);
    EXPECT_TRUE(line.synthetic);
    EXPECT_TRUE(line.overwrite);
    EXPECT_TRUE(Parsed({"--overwrite"}).overwrite);
    // Short forms and values after an equals sign.
    const CommandLine forms =
        Parsed({"-o", "b.mp4", "-t", "4", "-r", "25", "--fps=24", "--size=640x360"});
    EXPECT_EQ(forms.output, "b.mp4");
    EXPECT_EQ(forms.seconds, 4.0);
    EXPECT_EQ(forms.fps, 24u);
    EXPECT_EQ(forms.width, 640u);

    EXPECT_EQ(Parsed({"--window", "0x2a00007"}).window, 0x2a00007u);
    EXPECT_EQ(Parsed({"--window", "0x2a00007"}).target, Target::kWindow);
    EXPECT_EQ(Parsed({"--monitor", "66"}).monitor, 66u);
    EXPECT_EQ(Parsed({"--monitor", "HDMI-1"}).monitorName, "HDMI-1");
    EXPECT_EQ(Parsed({"--monitor", "HDMI-1", "--monitor", "0x42"}).monitorName, "")
        << "the last --monitor counts";

    const CommandLine encoder =
        Parsed({"--profile", "high", "--speed", "0", "--keyframe-interval=4", "--bframes", "2",
                "--cavlc", "--audio-bitrate", "96000"});
    EXPECT_EQ(encoder.profile, 0);
    EXPECT_EQ(encoder.speed, 0);
    EXPECT_EQ(encoder.keyframeSeconds, 4);
    EXPECT_EQ(encoder.bFrames, 2);
    EXPECT_TRUE(encoder.cavlc);
    EXPECT_EQ(encoder.audioBitrate, 96'000);
    EXPECT_EQ(Parsed({"--profile", "baseline"}).profile, 2);

    // A countdown is a prepared start after its seconds.
    const CommandLine countdown = Parsed({"--countdown", "3"});
    EXPECT_TRUE(countdown.prepare);
    EXPECT_EQ(countdown.startAfterMs, 3000u);
    const CommandLine defaults = Parsed({});
    EXPECT_FALSE(defaults.seconds.has_value());
    EXPECT_EQ(defaults.target, Target::kMonitor);
    EXPECT_EQ(defaults.fps, 30u);
    EXPECT_TRUE(defaults.cursor);
    EXPECT_TRUE(defaults.microphone);
    EXPECT_TRUE(defaults.systemAudio);
    EXPECT_FALSE(defaults.overwrite);
    EXPECT_EQ(defaults.noise, 0);

    const CommandLine audio = Parsed({"--no-mic", "--no-system-audio", "--mic", "usb-mic",
                                      "--window-audio-only", "--window", "7", "--noise", "2",
                                      "--mic-volume", "1.5", "--system-volume", "0", "--ducking"});
    EXPECT_FALSE(audio.microphone);
    EXPECT_FALSE(audio.systemAudio);
    EXPECT_EQ(audio.micId, "usb-mic");
    EXPECT_TRUE(audio.windowAudioOnly);
    EXPECT_EQ(audio.noise, 2);
    EXPECT_EQ(audio.micVolume, 1.5);
    EXPECT_EQ(audio.systemVolume, 0.0);
    EXPECT_TRUE(audio.ducking);

    const CommandLine zoom = Parsed({"--zoom", "--start-after", "250"});
    EXPECT_TRUE(zoom.zoom);
    EXPECT_TRUE(zoom.prepare) << "a start delay is for a prepared start";
    EXPECT_EQ(zoom.startAfterMs, 250u);
    EXPECT_FALSE(Parsed({"--prepare"}).startAfterMs.has_value());
}

TEST(CommandLineTest, BadValuesAreRefusedWithTheirReason) {
    EXPECT_EQ(Refusal({"--frobnicate"}), "unknown option '--frobnicate'");
    EXPECT_EQ(Refusal({"--output"}), "--output needs a value");
    EXPECT_EQ(Refusal({"-o"}), "--output needs a value");
    EXPECT_EQ(Refusal({"--zoom=1"}), "--zoom takes no value");
    EXPECT_EQ(Refusal({"--fps="}), "--fps needs a rate from 1 to 120, not ''");
    EXPECT_EQ(Refusal({"--seconds", "0"}),
              "--seconds needs a positive number up to 31536000 (a year), not '0'");
    EXPECT_EQ(Refusal({"--size", "-5x10"}),
              "--size needs WIDTHxHEIGHT, each from 2 to 8192, not '-5x10'");
    EXPECT_EQ(Refusal({"--speed", "101"}), "--speed needs a value from 0 to 100, not '101'");
    EXPECT_EQ(Refusal({"--profile", "extended"}),
              "--profile needs baseline, main or high, not 'extended'");
    EXPECT_EQ(Refusal({"--window-audio-only"}), "--window-audio-only needs --window");
    EXPECT_EQ(Refusal({"--countdown", "2", "--prepare"}),
              "--countdown cannot go with --prepare or --start-after");
    EXPECT_EQ(Refusal({"--noise", "3"}), "--noise needs 0, 1 or 2, not '3'");
    EXPECT_EQ(Refusal({"--mic-volume", "2.5"}),
              "--mic-volume needs a volume from 0 to 2, not '2.5'");
    EXPECT_EQ(Refusal({"--start-after", "-1"}),
              "--start-after needs milliseconds from 0 to 3600000, not '-1'");
    // An option and its value, split at the first space.
    for (const std::string refused : {"--seconds -3",
                                      "--seconds nan",
                                      "--seconds 5s",
                                      "--seconds 1e16",
                                      "--size 1280",
                                      "--size 0x720",
                                      "--region 0,0,100",
                                      "--region 0,0,100,0",
                                      "--region 0,0,100,100,5",
                                      "--window 0",
                                      "--window 0xZZ",
                                      "--fps 0",
                                      "--fps 121",
                                      "--bitrate 12",
                                      "--system-volume -1",
                                      "--mic ",
                                      "--size 2147483648x2147483648",
                                      "--size 20000x20000",
                                      "--size 1x720",
                                      "--keyframe-interval 0",
                                      "--bframes 17",
                                      "--audio-bitrate 8000",
                                      "--countdown 0",
                                      "--monitor "}) {
        const size_t space = refused.find(' ');
        EXPECT_NE(Refusal({refused.substr(0, space), refused.substr(space + 1)}), "") << refused;
    }
}

// Every option the parser takes is in the help, under its group, on lines that fit a terminal.
TEST(CommandLineTest, HelpIsGroupedAndCoversEveryOption) {
    const std::string help = UsageText();
    for (const char* heading : {"What to record:", "Output and video:", "Audio:", "Zoom:",
                                "Start and stop:", "Examples:"})
        EXPECT_NE(help.find(std::string("\n") + heading + "\n"), std::string::npos) << heading;
    EXPECT_EQ(help.find("\n\n\n"), std::string::npos);
    for (size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos;
         start = end + 1)
        EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
    for (const char* option : {"--output",
                               "--overwrite",
                               "--seconds",
                               "--monitor",
                               "--window",
                               "--region",
                               "--size",
                               "--fps",
                               "--bitrate",
                               "--profile",
                               "--speed",
                               "--keyframe-interval",
                               "--bframes",
                               "--cavlc",
                               "--no-cursor",
                               "--no-mic",
                               "--no-system-audio",
                               "--mic ",
                               "--window-audio-only",
                               "--noise",
                               "--mic-volume",
                               "--system-volume",
                               "--ducking",
                               "--audio-bitrate",
                               "--zoom",
                               "--zoom-tour",
                               "--countdown",
                               "--prepare",
                               "--start-after",
                               "--synthetic",
                               "--list",
                               "--verbose",
                               "--help"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(ReportTest, ProgressAndSummaryLines) {
    EXPECT_EQ(FormatProgress(67.9, 29.96, 2, 3 * 1024 * 1024 + 200 * 1024),
              "  01:07   30.0 fps  2 dropped  3.2 MB");
    EXPECT_EQ(FormatProgress(3, 30, 0, 2048, true),
              "  00:03   30.0 fps  0 dropped  2.0 KB  paused");
    EXPECT_EQ(FormatBytes(2048), "2.0 KB");
    EXPECT_EQ(FormatSummary("out/demo.mp4", 10.02, 30.0, 0, 5 * 1024 * 1024),
              "Recorded 10.0 s at 30.0 fps, 0 dropped, 5.0 MB: out/demo.mp4");
}

// A source that comes back is told; its loss comes as an error, and the rest is for --verbose.
TEST(ReportTest, OnlyReturningSourcesAreToldFromTheEngineLines) {
    EXPECT_EQ(UserNotice("[AudioCapture] System audio follows the new default output\n"),
              "system audio follows the new default output");
    EXPECT_EQ(UserNotice("[AudioCapture] Microphone is back: its device returned\n"),
              "microphone is back: its device returned");
    EXPECT_EQ(UserNotice("[AudioCapture] System audio is back: the audio server returned"),
              "system audio is back: the audio server returned");
    EXPECT_EQ(UserNotice("[AudioCapture] Microphone lost: its device went away\n"), std::nullopt);
    EXPECT_EQ(UserNotice("[Encoder] System audio is back"), std::nullopt);
}

}  // namespace
}  // namespace tamro::cli
