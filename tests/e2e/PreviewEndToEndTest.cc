// The live camera preview on a private X server with a checkerboard desktop: the test camera in
// a bubble window read back from the screen (an ARGB window under a compositing manager and a
// 24-bit one cut to the bubble), the pictures handed back as bitmaps once the window is gone,
// and the preview tool: its keys, its recording with the shared camera, and its one-line errors.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "platform/camera/SyntheticFrameCode.h"
// Next: the engine's headers before Xlib, whose macros clash with names in them.
#include "e2e/EndToEnd.h"
// Then what brings in Xlib.
#include <X11/keysym.h>

#include "BubbleWindow.h"
#include "support/CheckerboardDesktop.h"
#include "support/CompositingManager.h"
#include "support/Eventually.h"
#include "support/Screenshot.h"

namespace tamro::test {
namespace {

constexpr uint32_t kCameraWidth = 1280;
constexpr uint32_t kCameraHeight = 720;
// The bubble window of the tests through the API.
constexpr int kX = 200;
constexpr int kY = 150;
constexpr uint32_t kSize = 240;

// The test camera's frame number as a bubble `side` across at (left, top) shows it, the picture
// covering the bubble and cropped at its sides; 0 or nothing where the camera's picture is not
// there (a black or dark picture reads as 0).
template <typename RgbAt>
std::optional<uint32_t> BubbleFrameNumber(double left, double top, double side, RgbAt rgbAt) {
    constexpr double kAspect = double{kCameraWidth} / kCameraHeight;
    return platform::camera::SyntheticFrameCode::Read(
        kCameraWidth, kCameraHeight, [&](uint32_t x, uint32_t y) {
            const double u = (double(x) / kCameraWidth - 0.5) * kAspect + 0.5;
            const double v = double(y) / kCameraHeight;
            const uint32_t rgb =
                rgbAt(static_cast<int>(left + u * side), static_cast<int>(top + v * side));
            return ((rgb >> 16) + (rgb >> 8 & 255) + (rgb & 255)) / 3;
        });
}

int Brightest(uint32_t rgb) {
    return static_cast<int>(std::max({rgb >> 16, rgb >> 8 & 255, rgb & 255}));
}

class PreviewEndToEndTest : public EndToEndTest {
  protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        CheckerboardDesktop::Paint(m_painter);
        UseTheApi();
    }
    void TearDown() override {
        if (m_preview)
            m_preview->StopCameraPreview();
        m_preview.reset();
        m_window.reset();
        m_compositor.reset();
        EndToEndTest::TearDown();
    }

    // The test camera drawn into a bubble window, and shown there.
    void StartPreview(bool argb) {
        m_window = preview::BubbleWindow::Create(m_server.Name(), kX, kY, kSize, argb);
        ASSERT_NE(m_window, nullptr);
        ASSERT_EQ(m_window->IsArgb(), argb);
        m_preview = NativeRecorder::Create();
        m_preview->PreviewFrameReady([this](NativeRecorder&, const std::shared_ptr<BgraBitmap>& b) {
            ++m_bitmaps;
            if (b->Width() != kCameraWidth || b->Height() != kCameraHeight)
                ++m_otherSizes;
        });
        ASSERT_TRUE(
            m_preview->AttachBubblePresenter(static_cast<int64_t>(m_window->Id()), kSize, kSize));
        m_preview->SetBubbleAppearance(1.0, 0, 0, false, true, 0);
        ASSERT_TRUE(
            m_preview->StartCameraPreviewAsync("test:720p30", kCameraWidth, kCameraHeight, 30, {})
                ->Get());
        int64_t first = 0;
        ASSERT_TRUE(Eventually([&] { return (first = m_preview->PreviewFrameTime()) != 0; }));
        ASSERT_TRUE(Eventually([&] { return m_preview->PreviewFrameTime() > first; }))
            << "the shown frames move on";
    }

    // What is wrong with the screen: the camera's picture belongs in the bubble's middle and the
    // desktop at its square's corners. Empty when all is well.
    std::string WhatIsWrong() const {
        const Screenshot shot(m_painter, kX, kY, kSize, kSize);
        const int last = static_cast<int>(kSize) - 3;
        for (const auto& [x, y] : {std::pair{2, 2}, {last, 2}, {2, last}, {last, last}}) {
            if (shot.At(kX + x, kY + y) != CheckerboardDesktop::At(kX + x, kY + y))
                return "no desktop at corner " + std::to_string(x) + "," + std::to_string(y);
        }
        const uint32_t middle = shot.At(kX + kSize / 2, kY + kSize / 2);
        if (middle == CheckerboardDesktop::kDark || middle == CheckerboardDesktop::kLight)
            return "the desktop in the middle";
        if (Brightest(middle) < 60)
            return "black in the middle";
        if (BubbleFrameNumber(kX, kY, kSize, [&](int x, int y) {
                return shot.At(x, y);
            }).value_or(0) == 0)
            return "no frame code: not the camera's picture";
        return {};
    }
    void ExpectCameraOverDesktop() {
        std::string wrong;
        EXPECT_TRUE(Eventually([&] { return (wrong = WhatIsWrong()).empty(); })) << wrong;
    }

    // tamro-preview on this display, or `display`; what it says goes to ToolSaid.
    ChildProcess StartPreviewTool(std::vector<std::string> args, const std::string& display = "") {
        args.insert(args.begin(), TAMRO_PREVIEW_TOOL);
        std::filesystem::remove(Output("preview.log"));
        return ChildProcess(args, {"DISPLAY=" + (display.empty() ? m_server.Name() : display)},
                            Output("preview.log"));
    }
    std::string ToolSaid() const { return ReadFile(Output("preview.log")); }

    // A window of the display's top level by its title; 0 when there is none.
    ::Window FindWindow(const std::string& title) const {
        ::Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        ::Window found = 0;
        XQueryTree(m_painter, DefaultRootWindow(m_painter), &root, &parent, &children, &count);
        for (unsigned i = 0; i < count && !found; ++i) {
            char* name = nullptr;
            if (XFetchName(m_painter, children[i], &name) && name && title == name)
                found = children[i];
            XFree(name);
        }
        XFree(children);
        return found;
    }
    void PressKey(::Window window, KeySym key) {
        XEvent event{};
        event.xkey.type = KeyPress;
        event.xkey.window = window;
        event.xkey.root = DefaultRootWindow(m_painter);
        event.xkey.keycode = XKeysymToKeycode(m_painter, key);
        XSendEvent(m_painter, window, False, KeyPressMask, &event);
        XSync(m_painter, False);
    }

    std::optional<CompositingManager> m_compositor;
    std::unique_ptr<preview::BubbleWindow> m_window;
    std::shared_ptr<NativeRecorder> m_preview;
    std::atomic<int> m_bitmaps{0};
    std::atomic<int> m_otherSizes{0};
};

TEST_F(PreviewEndToEndTest, ArgbBubbleUnderACompositorShowsTheCameraOverTheDesktop) {
    m_compositor.emplace(m_server.Name(), m_painter);
    ASSERT_TRUE(m_compositor->Running()) << "xcompmgr";
    StartPreview(true);
    ExpectCameraOverDesktop();
}

TEST_F(PreviewEndToEndTest, OpaqueBubbleWithoutACompositorIsCutToTheCamera) {
    StartPreview(false);
    ExpectCameraOverDesktop();
}

// The pictures go into the window alone while it is there, and come back to the application
// once it is gone.
TEST_F(PreviewEndToEndTest, DestroyedWindowHandsThePicturesBackAsBitmaps) {
    StartPreview(false);
    EXPECT_EQ(m_bitmaps.load(), 0);
    m_window->Destroy();
    EXPECT_TRUE(Eventually([&] { return !m_preview->IsGpuBubbleActive(); }));
    EXPECT_TRUE(Eventually([&] { return m_bitmaps.load() >= 10; })) << m_bitmaps.load();
    EXPECT_EQ(m_otherSizes.load(), 0) << "each bitmap is the camera's 1280x720";
    EXPECT_TRUE(m_preview->IsPreviewRunning());
}

TEST_F(PreviewEndToEndTest, ToolChangesTheBubbleOnItsWindowsKeys) {
    ChildProcess tool = StartPreviewTool({"--camera", "test:720p30"});
    ::Window window = 0;
    ASSERT_TRUE(Eventually([&] { return (window = FindWindow("Tamro camera")) != 0; }));
    const std::pair<KeySym, const char*> keys[] = {{XK_e, "tamro-preview: effect blur\n"},
                                                   {XK_e, "tamro-preview: effect blur:strong\n"},
                                                   {XK_s, "tamro-preview: shape rounded\n"},
                                                   {XK_m, "tamro-preview: mirror on\n"}};
    for (const auto& [key, said] : keys) {
        PressKey(window, key);
        EXPECT_TRUE(Eventually([&] { return ToolSaid().find(said) != std::string::npos; }))
            << ToolSaid();
    }
    PressKey(window, XK_q);
    EXPECT_TRUE(Eventually([&] { return tool.Exited(); })) << ToolSaid();
    EXPECT_EQ(ToolSaid().find("error"), std::string::npos) << ToolSaid();
}

// The synthetic screen recorded with the preview's camera as its bubble, in the bottom-right
// corner a fifth of the height across; the window's mirror key turns the recording's bubble too.
TEST_F(PreviewEndToEndTest, ToolRecordsTheScreenWithTheSharedCameraInIt) {
    const std::string file = Output("preview.mp4");
    ChildProcess tool =
        StartPreviewTool({"--camera", "test:720p30", "-t", "4", "--record", file, "--synthetic"});
    ::Window window = 0;
    ASSERT_TRUE(Eventually([&] {
        return ToolSaid().find("recording to") != std::string::npos &&
               (window = FindWindow("Tamro camera")) != 0;
    })) << ToolSaid();
    // Well after the first picture read below, well before the last ones.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    PressKey(window, XK_m);
    ASSERT_EQ(tool.Wait(), 0) << ToolSaid();
    EXPECT_NE(ToolSaid().find("mirror on"), std::string::npos) << ToolSaid();
    EXPECT_NE(ToolSaid().find("Recorded "), std::string::npos) << ToolSaid();
    const Recording recording(file);
    ASSERT_EQ(recording.Width(), 1920);
    ASSERT_EQ(recording.Height(), 1080);
    constexpr double kSide = 0.22 * 1080;
    constexpr double kMargin = 0.03 * 1080;
    const auto frameNumber = [&](double seconds, bool mirrored) {
        const Picture picture(recording, seconds);
        EXPECT_TRUE(picture.Decoded()) << picture.Command();
        const double left = 1920 - kSide - kMargin;
        const double top = 1080 - kSide - kMargin;
        return BubbleFrameNumber(left, top, kSide,
                                 [&](int x, int y) {
                                     return picture.At(
                                         mirrored ? static_cast<int>(2 * left + kSide) - x : x, y);
                                 })
            .value_or(0);
    };
    EXPECT_GT(frameNumber(0.5, false), 0u) << "the camera's picture in the bubble";
    // Read the wrong way round, the code's bits come reversed and do not count on by half a
    // second's frames.
    const uint32_t before = frameNumber(3.0, true), after = frameNumber(3.5, true);
    EXPECT_GT(before, 0u) << "the mirrored picture in the bubble";
    EXPECT_NEAR(static_cast<double>(after) - before, 15, 6) << before << " then " << after;
}

TEST_F(PreviewEndToEndTest, ToolSaysWhatCannotStartInOneLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"test:nope", "camera 'test:nope' was not found"},
        {"/dev/video99", "camera '/dev/video99' was not found"},
    };
    for (const auto& [camera, said] : cases) {
        ChildProcess tool = StartPreviewTool({"--camera", camera});
        EXPECT_EQ(tool.Wait(), 1);
        const std::string log = ToolSaid();
        EXPECT_NE(log.find(said), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
    ChildProcess tool = StartPreviewTool({"--camera", "test:720p30"}, ":3999");
    EXPECT_EQ(tool.Wait(), 1);
    EXPECT_EQ(ToolSaid(), "tamro-preview: cannot open display :3999\n");
}

}  // namespace
}  // namespace tamro::test
