#include <gtest/gtest.h>

#include "PreviewCommandLine.h"

namespace tamro::preview {
namespace {

PreviewCommandLine Parsed(const std::vector<std::string>& args) {
    auto result = ParsePreviewCommandLine(args);
    EXPECT_TRUE(std::holds_alternative<PreviewCommandLine>(result))
        << std::get<std::string>(result);
    return std::holds_alternative<PreviewCommandLine>(result) ? std::get<PreviewCommandLine>(result)
                                                              : PreviewCommandLine{};
}

std::string Refusal(const std::vector<std::string>& args) {
    auto result = ParsePreviewCommandLine(args);
    return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "";
}

TEST(PreviewCommandLineTest, OptionsReachTheirFields) {
    const PreviewCommandLine line =
        Parsed({"--camera", "/dev/video2", "--camera-effect=blur:strong", "--camera-shape",
                "square", "--camera-mirror", "--size", "240", "--record", "a.mp4", "-t", "2.5",
                "--synthetic", "-y"});
    EXPECT_EQ(line.camera.device, "/dev/video2");
    EXPECT_EQ(line.camera.effect.Mode, 1);
    EXPECT_EQ(line.camera.effect.BlurIntensity, 2);
    EXPECT_EQ(line.camera.shape, cli::CameraShape::kSquare);
    EXPECT_TRUE(line.camera.mirror);
    EXPECT_EQ(line.size, 240u);
    EXPECT_EQ(line.record, "a.mp4");
    EXPECT_EQ(line.seconds, 2.5);
    EXPECT_TRUE(line.synthetic && line.overwrite);

    const PreviewCommandLine defaults = Parsed({"--camera", "test:720p30"});
    EXPECT_EQ(defaults.size, 320u);
    EXPECT_EQ(defaults.camera.effect.Mode, 0);
    EXPECT_EQ(defaults.camera.shape, cli::CameraShape::kCircle);
    EXPECT_FALSE(defaults.seconds.has_value());
    EXPECT_TRUE(defaults.record.empty());
    EXPECT_TRUE(Parsed({"--help"}).help);
}

TEST(PreviewCommandLineTest, RefusesWhatCannotWork) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "--camera is needed"},
        {{"--camera"}, "--camera needs a value"},
        {{"--camera", "x", "--size", "32"}, "--size needs"},
        {{"--camera", "x", "--size", "2000"}, "--size needs"},
        {{"--camera", "x", "-t", "0"}, "--seconds needs"},
        {{"--camera", "x", "--record", "a.mkv"}, "--record needs an MP4"},
        {{"--camera", "x", "--camera-effect", "sepia"}, "--camera-effect needs"},
        {{"--camera", "x", "--camera-shape", "star"}, "--camera-shape needs"},
        {{"--camera", "x", "--synthetic"}, "--synthetic needs --record"},
        {{"--camera", "x", "-y"}, "--overwrite needs --record"},
        {{"--camera", "x", "--camera-mirror=yes"}, "takes no value"},
        {{"--camera", "x", "--zoom"}, "unknown option '--zoom'"},
    };
    for (const auto& [args, refusal] : cases)
        EXPECT_NE(Refusal(args).find(refusal), std::string::npos)
            << Refusal(args) << " for " << (args.empty() ? "nothing" : args.back());
}

}  // namespace
}  // namespace tamro::preview
