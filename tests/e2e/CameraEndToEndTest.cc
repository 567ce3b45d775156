// The webcam bubble in whole recordings of a private X server, with the built-in test camera:
// where it lands in the file, that its picture moves on, a prepared camera's first second, and a
// shared camera that cannot be opened, and the camera's background blurred or replaced.

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "platform/camera/SyntheticFrameCode.h"
// Last: it brings in Xlib, whose macros clash with names in the headers above.
#include "e2e/EndToEnd.h"

namespace tamro::test {
namespace {

constexpr unsigned long kDesktop = 0x4080C0;
// A bubble 480 px across on the 1920x1080 screen, square in pixels.
constexpr int kLeft = 1056;
constexpr int kTop = 324;
constexpr int kSide = 480;
// The test camera's picture, which the bubble fills, cropping its sides.
constexpr uint32_t kCameraWidth = 1280;
constexpr uint32_t kCameraHeight = 720;

class CameraEndToEndTest : public EndToEndTest {
  protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        if (m_painter)
            Fill(m_painter, kDesktop);
    }

    static CameraOverlayConfig Bubble() {
        CameraOverlayConfig config;
        config.enabled = true;
        config.deviceId = "test:720p30";
        config.x = kLeft / 1920.0;
        config.y = kTop / 1080.0;
        config.width = kSide / 1920.0;
        config.height = kSide / 1080.0;
        config.cornerRadius = 1.0;
        config.fillMode = 1;
        config.opacity = 1.0;
        return config;
    }

    static RecordingConfig Silent(const std::string& file) {
        RecordingConfig config;
        config.OutputPath(file);
        config.CaptureMicrophone(false);
        config.CaptureSystemAudio(false);
        return config;
    }

    // The bubble's rectangle for the tool.
    static std::string RectOption() {
        char rect[96];
        std::snprintf(rect, sizeof rect, "%.6f,%.6f,%.6f,%.6f", kLeft / 1920.0, kTop / 1080.0,
                      kSide / 1920.0, kSide / 1080.0);
        return rect;
    }

    // A recording through the tool with the test camera's background given by `effect`.
    Recording RecordEffect(const std::string& name, const std::string& effect) {
        const std::string file = Output(name);
        std::string log;
        std::vector<std::string> args = {
            "--seconds", "3",           "--no-mic",      "--no-system-audio",
            "--camera",  "test:720p30", "--camera-rect", RectOption(),
            "--output",  file};
        if (!effect.empty()) {
            args.insert(args.end(), {"--camera-effect", effect, "--effect-quality", "every"});
        }
        EXPECT_EQ(RunTool(args, &log), 0) << log;
        return Recording(file);
    }

    // The test camera's frame number as the bubble shows it, read through the cover fit.
    static std::optional<uint32_t> FrameNumber(const Picture& picture) {
        constexpr double kAspect = double{kCameraWidth} / kCameraHeight;
        return platform::camera::SyntheticFrameCode::Read(
            kCameraWidth, kCameraHeight, [&](uint32_t x, uint32_t y) {
                const double u = (double(x) / kCameraWidth - 0.5) * kAspect + 0.5;
                const double v = double(y) / kCameraHeight;
                const uint32_t rgb = picture.At(kLeft + static_cast<int>(u * kSide),
                                                kTop + static_cast<int>(v * kSide));
                return ((rgb >> 16) + (rgb >> 8 & 255) + (rgb & 255)) / 3;
            });
    }

    // The bubble's middle shows the camera, its rectangle's corners and everything around it
    // the desktop.
    static void ExpectBubble(const Picture& picture, bool present) {
        const uint32_t middle = picture.At(kLeft + kSide / 2, kTop + kSide / 2);
        if (present)
            EXPECT_GT(ChannelDistance(middle, kDesktop), 40) << "the camera in the middle";
        else
            EXPECT_LE(ChannelDistance(middle, kDesktop), 3) << "no bubble";
        for (const auto& [x, y] : {std::pair{kLeft + 8, kTop + 8},
                                   {kLeft + kSide - 9, kTop + 8},
                                   {kLeft + 8, kTop + kSide - 9},
                                   {kLeft - 20, kTop + kSide / 2},
                                   {kLeft + kSide / 2, kTop + kSide + 20}}) {
            EXPECT_LE(ChannelDistance(picture.At(x, y), kDesktop), 6) << "at " << x << "," << y;
        }
    }
};

// Through the tool: the bubble sits at its rectangle, round, and its picture moves on at the
// camera's rate.
TEST_F(CameraEndToEndTest, ToolPutsTheCameraInARoundBubbleAtItsRectangle) {
    const std::string file = Output("bubble.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"--seconds", "3", "--no-mic", "--no-system-audio", "--camera", "test:720p30",
                       "--camera-rect", RectOption(), "--output", file},
                      &log),
              0)
        << log;
    const Recording recording(file);
    if (kRatesMeasured)
        EXPECT_EQ(recording.Frames(), 90u);
    const Picture early(recording, 0.8);
    const Picture late(recording, 2.3);
    ASSERT_TRUE(early.Decoded() && late.Decoded()) << early.Command();
    ExpectBubble(early, true);
    ExpectBubble(late, true);
    const std::optional<uint32_t> first = FrameNumber(early);
    const std::optional<uint32_t> second = FrameNumber(late);
    ASSERT_TRUE(first && second) << "the frame code is readable in the bubble";
    // A sanitized build draws the test camera's pictures too slowly to keep its rate; there the
    // picture need only move on.
    if (kRatesMeasured)
        EXPECT_NEAR(static_cast<double>(*second - *first), 45.0, 8.0)
            << "30 camera frames a second";
    else
        EXPECT_GT(*second, *first + 10) << "the camera's picture moves on";
}

// Through the API: a camera prepared ahead shows in the first second of the recording, and its
// pictures reach the application too.
TEST_F(CameraEndToEndTest, PreparedCameraShowsFromTheFirstSecond) {
    UseTheApi();
    const auto recorder = NativeRecorder::Create();
    std::atomic<int> previews{0};
    recorder->PreviewFrameReady([&](NativeRecorder&, const std::shared_ptr<BgraBitmap>& bitmap) {
        if (bitmap->Width() == kCameraWidth)
            ++previews;
    });
    recorder->SetCameraOverlayConfig(Bubble());
    const std::string file = Output("prepared.mp4");
    ASSERT_TRUE(recorder->PrepareAsync(Silent(file))->Get());
    ASSERT_TRUE(recorder->PrepareCameraOverlayAsync()->Get());
    EXPECT_TRUE(recorder->IsCameraOverlayActive());
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(recorder->StartPreparedAsync()->Get());
    std::this_thread::sleep_for(1500ms);
    recorder->Stop();
    EXPECT_GT(previews.load(), 20);

    const Recording recording(file);
    const Picture first(recording, 0.2);
    ASSERT_TRUE(first.Decoded()) << first.Command();
    ExpectBubble(first, true);
    EXPECT_TRUE(FrameNumber(first).has_value());
}

// A shared camera that cannot be opened: the recording goes on without a bubble.
TEST_F(CameraEndToEndTest, UnopenableSharedCameraRecordsWithoutTheBubble) {
    UseTheApi();
    const auto recorder = NativeRecorder::Create();
    recorder->SetCameraOverlayConfig(Bubble());
    recorder->SetSharedCameraHandle(0xBAD);
    const std::string file = Output("shared.mp4");
    ASSERT_TRUE(recorder->StartAsync(Silent(file))->Get());
    EXPECT_FALSE(recorder->IsCameraOverlayActive());
    std::this_thread::sleep_for(1500ms);
    recorder->Stop();
    const Recording recording(file);
    const Picture picture(recording, 1.0);
    ASSERT_TRUE(picture.Decoded()) << picture.Command();
    ExpectBubble(picture, false);
}

// Detail as the mean luma step to the right and downwards, over bubble pixels [x0, x1) x [y0, y1).
double Detail(const Picture& picture, int x0, int y0, int x1, int y1) {
    auto luma = [&](int x, int y) {
        const uint32_t rgb = picture.At(kLeft + x, kTop + y);
        return 0.299 * (rgb >> 16) + 0.587 * (rgb >> 8 & 255) + 0.114 * (rgb & 255);
    };
    double sum = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            sum += std::fabs(luma(x + 1, y) - luma(x, y)) + std::fabs(luma(x, y + 1) - luma(x, y));
    return sum / ((x1 - x0) * (y1 - y0));
}

// The face's box in the bubble, found by its skin where the swaying head can be: the camera's
// columns 471 to 809 (127 to 353 in the bubble), above the shoulders.
struct Box {
    int x0 = 1 << 20, y0 = 1 << 20, x1 = 0, y1 = 0;
    int pixels = 0;
};
Box Face(const Picture& picture) {
    Box box;
    for (int y = 0; y < 270; ++y)
        for (int x = 120; x < 360; ++x) {
            const uint32_t rgb = picture.At(kLeft + x, kTop + y);
            const int r = rgb >> 16, g = rgb >> 8 & 255, b = rgb & 255;
            if (r > 170 && g > 110 && g < 200 && b > 80 && b < 170 && r - b > 50) {
                box = {std::min(box.x0, x), std::min(box.y0, y), std::max(box.x1, x + 1),
                       std::max(box.y1, y + 1), box.pixels + 1};
            }
        }
    return box;
}

// The person stays sharp while the bookshelf behind them is blurred; a picture put behind them
// is the one asked for.
TEST_F(CameraEndToEndTest, BackgroundIsBlurredOrReplacedBehindASharpPerson) {
    const Recording plain = RecordEffect("plain.mp4", "");
    const Recording blurred = RecordEffect("blur.mp4", "blur:strong");
    const Recording shelf = RecordEffect("image.mp4", "image:7");
    const Picture plainPicture(plain, 2.0), blurredPicture(blurred, 2.0), shelfPicture(shelf, 2.0);
    ASSERT_TRUE(plainPicture.Decoded() && blurredPicture.Decoded() && shelfPicture.Decoded());

    // The camera's caption, on the wall above and left of the person's head.
    const double captionPlain = Detail(plainPicture, 120, 55, 360, 130);
    const double captionBlurred = Detail(blurredPicture, 120, 55, 360, 130);
    EXPECT_GT(captionPlain, 20.0) << "the caption's digits";
    EXPECT_LT(captionBlurred, captionPlain * 0.25) << "the background is blurred";

    const Box plainFace = Face(plainPicture), blurredFace = Face(blurredPicture);
    ASSERT_GT(plainFace.pixels, 400);
    ASSERT_GT(blurredFace.pixels, 400) << "the face is still there";
    const double facePlain =
        Detail(plainPicture, plainFace.x0, plainFace.y0, plainFace.x1, plainFace.y1);
    const double faceBlurred =
        Detail(blurredPicture, blurredFace.x0, blurredFace.y0, blurredFace.x1, blurredFace.y1);
    EXPECT_GT(faceBlurred, facePlain * 0.75) << "the face stays sharp";

    // The preset bookshelf's planks left of the person, at 29 % and 54 % of the picture's height,
    // where the camera shows a grey wall.
    for (const double row : {0.29, 0.54}) {
        const int y = static_cast<int>(row * kSide);
        double r = 0, g = 0, b = 0;
        for (int x = 40; x < 110; ++x) {
            const uint32_t rgb = shelfPicture.At(kLeft + x, kTop + y);
            r += (rgb >> 16) / 70.0, g += (rgb >> 8 & 255) / 70.0, b += (rgb & 255) / 70.0;
        }
        EXPECT_NEAR(r, 157, 35) << "plank at " << row;
        EXPECT_NEAR(g, 104, 35) << "plank at " << row;
        EXPECT_NEAR(b, 59, 35) << "plank at " << row;
    }
    EXPECT_GT(Face(shelfPicture).pixels, 400) << "the person in front of the picture";
}

}  // namespace
}  // namespace tamro::test
