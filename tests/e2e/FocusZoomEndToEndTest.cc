// The cursor focus zoom on a private Xvfb, through the public API.

#include <gtest/gtest.h>

#include "tamro/Desktop.h"
// Last: it brings in Xlib, whose macros clash with names in the headers above.
#include "e2e/EndToEnd.h"

namespace tamro::test {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

class FocusZoomEndToEndTest : public EndToEndTest {
  protected:
    using EndToEndTest::EndToEndTest;

    void SetUp() override {
        EndToEndTest::SetUp();
        UseTheApi();
    }

    void MovePointer(int x, int y) {
        XWarpPointer(m_painter, None, DefaultRootWindow(m_painter), 0, 0, 0, 0, x, y);
        XSync(m_painter, False);
    }
    // Moves in small steps, as a hand does.
    void GlidePointer(int fromX, int fromY, int toX, int toY, std::chrono::milliseconds length) {
        constexpr int kSteps = 40;
        for (int i = 1; i <= kSteps; ++i) {
            MovePointer(fromX + (toX - fromX) * i / kSteps, fromY + (toY - fromY) * i / kSteps);
            std::this_thread::sleep_for(length / kSteps);
        }
    }

    RecordingConfig Config(const std::string& name) {
        RecordingConfig config;
        config.OutputPath(Output(name));
        config.CaptureMicrophone(false);
        config.CaptureSystemAudio(false);
        config.CaptureCursor(false);
        return config;
    }

    // Whether the picture at (x, y) is near enough to `rgb` after compression.
    static ::testing::AssertionResult Shows(const Picture& picture, int x, int y, uint32_t rgb) {
        if (ChannelDistance(picture.At(x, y), rgb) <= 40)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << std::hex << picture.At(x, y) << " at " << std::dec << x << ", " << y;
    }
};

// The four quarters of the screen in four colours, so a picture tells which part it shows.
constexpr uint32_t kTopLeft = 0xFF0000;
constexpr uint32_t kBottomLeft = 0x0000FF;
constexpr uint32_t kBottomRight = 0xFFFFFF;

TEST_F(FocusZoomEndToEndTest, FramesAreCropsAroundThePointerAtTheOutputSize) {
    Fill(m_painter, kTopLeft, 0, 0, kWidth / 2, kHeight / 2);
    Fill(m_painter, 0x00FF00, kWidth / 2, 0, kWidth / 2, kHeight / 2);
    Fill(m_painter, kBottomLeft, 0, kHeight / 2, kWidth / 2, kHeight / 2);
    Fill(m_painter, kBottomRight, kWidth / 2, kHeight / 2, kWidth / 2, kHeight / 2);
    MovePointer(300, 200);
    const auto recorder = NativeRecorder::Create();
    std::vector<bool> changes;
    recorder->CursorFocusChanged([&](NativeRecorder&, const bool& on) { changes.push_back(on); });
    const RecordingConfig config = Config("focus.mp4");
    ASSERT_TRUE(recorder->StartAsync(config)->Get());
    recorder->ToggleCursorFocus(true);
    EXPECT_TRUE(recorder->IsCursorFocusActive());
    std::this_thread::sleep_for(1200ms);
    GlidePointer(300, 200, 1700, 900, 800ms);
    std::this_thread::sleep_for(1000ms);
    recorder->Stop();
    EXPECT_EQ(changes, std::vector<bool>{true});

    const Recording recording(config.OutputPath());
    EXPECT_EQ(recording.Width(), kWidth);
    EXPECT_EQ(recording.Height(), kHeight) << "the zoom does not change the size";
    // At (600, 600) of the picture: the top-left quarter zoomed, the bottom-left one unzoomed,
    // the bottom-right one zoomed there.
    const Picture early(recording, 1.0);
    ASSERT_TRUE(early.Decoded()) << early.Command();
    EXPECT_TRUE(Shows(early, 600, 600, kTopLeft));
    const Picture late(recording, -0.1);
    ASSERT_TRUE(late.Decoded()) << late.Command();
    EXPECT_TRUE(Shows(late, 600, 600, kBottomRight));
}

// Two monitors side by side on one 3840-wide screen.
class TwoMonitorFocusEndToEndTest : public FocusZoomEndToEndTest {
  protected:
    TwoMonitorFocusEndToEndTest() : FocusZoomEndToEndTest("3840x1080x24") {}

    void DeclareRightMonitor() {
        XRRMonitorInfo* monitor = XRRAllocateMonitor(m_painter, 0);
        monitor->name = XInternAtom(m_painter, "RIGHT", False);
        monitor->x = kWidth;
        monitor->width = kWidth;
        monitor->height = kHeight;
        monitor->mwidth = 500;
        monitor->mheight = 300;
        XRRSetMonitor(m_painter, DefaultRootWindow(m_painter), monitor);
        XRRFreeMonitors(monitor);
        XSync(m_painter, False);
    }
};

TEST_F(TwoMonitorFocusEndToEndTest, FocusOnTheSecondMonitorCropsFromItsOrigin) {
    DeclareRightMonitor();
    const auto desktop = DescribeDesktop(ScreenSource::kDesktop);
    ASSERT_TRUE(desktop.has_value());
    const auto right = std::find_if(desktop->monitors.begin(), desktop->monitors.end(),
                                    [](const MonitorDescription& m) { return m.x == kWidth; });
    ASSERT_NE(right, desktop->monitors.end());
    Fill(m_painter, 0x000000);
    // Where the focus window (2100, 120, 960, 540) starts, at twice the size in the recording.
    Fill(m_painter, 0xFFFFFF, 2100, 120, 100, 100);
    MovePointer(2580, 390);

    RecordingConfig config = Config("right.mp4");
    config.MonitorHandle(right->id);
    config.FocusZoom(FocusZoomSettings{.cropFraction = 0.5});
    const auto recorder = NativeRecorder::Create();
    ASSERT_TRUE(recorder->StartAsync(config)->Get());
    recorder->ToggleCursorFocus(true);
    std::this_thread::sleep_for(1500ms);
    recorder->Stop();

    const Picture last(Recording(config.OutputPath()), -0.1);
    ASSERT_TRUE(last.Decoded()) << last.Command();
    EXPECT_TRUE(Shows(last, 100, 100, 0xFFFFFF));
    EXPECT_TRUE(Shows(last, 300, 300, 0x000000));
}

}  // namespace
}  // namespace tamro::test
