#include <gtest/gtest.h>

#include "PreviewCommandLine.h"
#include "PreviewLooks.h"

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

TEST(PreviewLooksTest, EffectsCycleThroughEveryKindAtAutoQuality) {
    cli::CameraOptions options;
    options.effect.SolidColorPreset = 4;
    PreviewLooks looks(options);
    EXPECT_EQ(looks.EffectName(), "none");
    EXPECT_EQ(looks.Effect().Quality, 1);
    std::vector<std::string> names;
    for (int i = 0; i < 6; ++i) {
        looks.NextEffect();
        names.push_back(looks.EffectName());
        EXPECT_EQ(looks.Effect().Quality, 1);
    }
    const std::vector<std::string> expected = {"blur",       "blur:strong", "color:4",
                                               "gradient:0", "image:0",     "none"};
    EXPECT_EQ(names, expected);
    looks.NextEffect();
    EXPECT_EQ(looks.Effect().Mode, 1);
    EXPECT_EQ(looks.Effect().BlurIntensity, 1) << "back to the medium blur after the strong one";

    // A light blur or a picture from the command line carries on from its place in the cycle.
    options.effect = {.Mode = 1, .BlurIntensity = 0};
    PreviewLooks light(options);
    EXPECT_EQ(light.EffectName(), "blur:light");
    light.NextEffect();
    EXPECT_EQ(light.EffectName(), "blur:strong");
    options.effect = {.Mode = 4, .ImagePreset = 7};
    PreviewLooks picture(options);
    picture.NextEffect();
    EXPECT_EQ(picture.EffectName(), "none");
    for (int i = 0; i < 5; ++i)
        picture.NextEffect();
    EXPECT_EQ(picture.EffectName(), "image:7");
}

TEST(PreviewLooksTest, ShapesCycleWithTheirCornersAndTheMirrorToggles) {
    cli::CameraOptions options;
    options.shape = cli::CameraShape::kRounded;
    options.mirror = true;
    PreviewLooks looks(options);
    EXPECT_EQ(looks.ShapeName(), "rounded");
    EXPECT_DOUBLE_EQ(looks.CornerRadius(), 0.3);
    looks.NextShape();
    EXPECT_EQ(looks.ShapeName(), "square");
    EXPECT_DOUBLE_EQ(looks.CornerRadius(), 0.0);
    looks.NextShape();
    EXPECT_EQ(looks.ShapeName(), "circle");
    EXPECT_DOUBLE_EQ(looks.CornerRadius(), 1.0);
    EXPECT_TRUE(looks.Mirror());
    looks.ToggleMirror();
    EXPECT_FALSE(looks.Mirror());
}

}  // namespace
}  // namespace tamro::preview
