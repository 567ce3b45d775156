// The cursor focus zoom and the prepared start on a private Xvfb, through the public API.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/Mp4Probe.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"
#include "tamro/Desktop.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"
// Xlib last: its macros clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace tamro {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// One decoded RGB picture of a recording.
struct Picture {
    std::vector<uint8_t> rgb;
    int width = 0;

    uint32_t At(int x, int y) const {
        const size_t at = (static_cast<size_t>(y) * width + x) * 3;
        return at + 2 < rgb.size() ? (rgb[at] << 16) | (rgb[at + 1] << 8) | rgb[at + 2] : 0;
    }
};

// The frame shown at `seconds`, or the last one for a negative time.
Picture FrameAt(const std::string& file, double seconds, int width, int height) {
    char position[64];
    std::snprintf(position, sizeof position, seconds < 0 ? "-sseof -0.1" : "-ss %.3f", seconds);
    const std::string command = std::string("ffmpeg -v error ") + position + " -i '" + file +
                                "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -";
    Picture picture{.rgb = {}, .width = width};
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<uint8_t, 65536> chunk;
        for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;)
            picture.rgb.insert(picture.rgb.end(), chunk.begin(), chunk.begin() + got);
        ::pclose(pipe);
    }
    if (picture.rgb.size() != static_cast<size_t>(width) * height * 3)
        picture.rgb.clear();
    return picture;
}

// Near enough to a colour after compression.
bool Near(uint32_t actual, uint32_t expected) {
    for (int shift = 0; shift < 24; shift += 8) {
        const int a = (actual >> shift) & 0xFF;
        const int e = (expected >> shift) & 0xFF;
        if (std::abs(a - e) > 40)
            return false;
    }
    return true;
}

class FocusZoomEndToEndTest : public ::testing::Test {
  protected:
    explicit FocusZoomEndToEndTest(const std::string& geometry = "1920x1080x24")
        : m_server(geometry) {}

    void SetUp() override {
        if (!m_server.Running())
            GTEST_SKIP() << "Xvfb is not available";
        m_painter = XOpenDisplay(m_server.Name().c_str());
        ASSERT_NE(m_painter, nullptr);
        setenv("DISPLAY", m_server.Name().c_str(), 1);
        SetDiagnosticsToStandardError(false);
    }
    void TearDown() override {
        if (m_painter)
            XCloseDisplay(m_painter);
    }

    void Fill(int x, int y, int width, int height, unsigned long rgb) {
        GC gc = XCreateGC(m_painter, DefaultRootWindow(m_painter), 0, nullptr);
        XSetForeground(m_painter, gc, rgb);
        XFillRectangle(m_painter, DefaultRootWindow(m_painter), gc, x, y, width, height);
        XFreeGC(m_painter, gc);
        XSync(m_painter, False);
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
        config.OutputPath((m_dir.path() / name).string());
        config.CaptureMicrophone(false);
        config.CaptureSystemAudio(false);
        config.CaptureCursor(false);
        return config;
    }

    test::XvfbServer m_server;
    ::Display* m_painter = nullptr;
    test::TempDir m_dir;
};

// The four quarters of the screen in four colours, so a picture tells which part it shows.
constexpr uint32_t kTopLeft = 0xFF0000;
constexpr uint32_t kBottomLeft = 0x0000FF;
constexpr uint32_t kBottomRight = 0xFFFFFF;

TEST_F(FocusZoomEndToEndTest, FramesAreCropsAroundThePointerAtTheOutputSize) {
    Fill(0, 0, kWidth / 2, kHeight / 2, kTopLeft);
    Fill(kWidth / 2, 0, kWidth / 2, kHeight / 2, 0x00FF00);
    Fill(0, kHeight / 2, kWidth / 2, kHeight / 2, kBottomLeft);
    Fill(kWidth / 2, kHeight / 2, kWidth / 2, kHeight / 2, kBottomRight);
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

    test::Mp4Probe probe(config.OutputPath());
    EXPECT_EQ(probe.Stream("video", "width"), "1920");
    EXPECT_EQ(probe.Stream("video", "height"), "1080") << "the zoom does not change the size";
    // At (600, 600) of the picture: the top-left quarter zoomed, the bottom-left one unzoomed,
    // the bottom-right one zoomed there.
    const Picture early = FrameAt(config.OutputPath(), 1.0, kWidth, kHeight);
    ASSERT_FALSE(early.rgb.empty());
    EXPECT_TRUE(Near(early.At(600, 600), kTopLeft)) << std::hex << early.At(600, 600);
    const Picture late = FrameAt(config.OutputPath(), -1, kWidth, kHeight);
    ASSERT_FALSE(late.rgb.empty());
    EXPECT_TRUE(Near(late.At(600, 600), kBottomRight)) << std::hex << late.At(600, 600);
}

// Two monitors side by side on one 3840-wide screen.
class TwoMonitorFocusTest : public FocusZoomEndToEndTest {
  protected:
    TwoMonitorFocusTest() : FocusZoomEndToEndTest("3840x1080x24") {}

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

TEST_F(TwoMonitorFocusTest, FocusOnTheSecondMonitorCropsFromItsOrigin) {
    DeclareRightMonitor();
    const auto desktop = DescribeDesktop(ScreenSource::kDesktop);
    ASSERT_TRUE(desktop.has_value());
    const auto right = std::find_if(desktop->monitors.begin(), desktop->monitors.end(),
                                    [](const MonitorDescription& m) { return m.x == kWidth; });
    ASSERT_NE(right, desktop->monitors.end());
    Fill(0, 0, 2 * kWidth, kHeight, 0x000000);
    // Where the focus window (2100, 120, 960, 540) starts, at twice the size in the recording.
    Fill(2100, 120, 100, 100, 0xFFFFFF);
    MovePointer(2580, 390);

    RecordingConfig config = Config("right.mp4");
    config.MonitorHandle(right->id);
    config.FocusZoom(FocusZoomSettings{.cropFraction = 0.5});
    const auto recorder = NativeRecorder::Create();
    ASSERT_TRUE(recorder->StartAsync(config)->Get());
    recorder->ToggleCursorFocus(true);
    std::this_thread::sleep_for(1500ms);
    recorder->Stop();

    const Picture last = FrameAt(config.OutputPath(), -1, kWidth, kHeight);
    ASSERT_FALSE(last.rgb.empty());
    EXPECT_TRUE(Near(last.At(100, 100), 0xFFFFFF)) << std::hex << last.At(100, 100);
    EXPECT_TRUE(Near(last.At(300, 300), 0x000000)) << std::hex << last.At(300, 300);
}

TEST_F(FocusZoomEndToEndTest, PreparedRecordingCountsFromItsStart) {
    const auto recorder = NativeRecorder::Create();
    const RecordingConfig config = Config("prepared.mp4");
    ASSERT_TRUE(recorder->PrepareAsync(config)->Get());
    EXPECT_TRUE(recorder->IsPrepared());
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(recorder->StartPreparedAsync()->Get());
    EXPECT_LT(recorder->ElapsedSeconds(), 0.2);
    std::this_thread::sleep_for(2s);
    const double elapsed = recorder->ElapsedSeconds();
    recorder->Stop();
    EXPECT_NEAR(elapsed, 2.0, 0.2);
    test::Mp4Probe probe(config.OutputPath());
    EXPECT_NEAR(std::stod("0" + probe.Stream("video", "duration")), elapsed, 0.2);
}

}  // namespace
}  // namespace tamro
