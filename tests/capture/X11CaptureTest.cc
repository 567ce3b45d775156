#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) clash with gtest's names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "capture/ScreenCapture.h"
#include "platform/display/X11Display.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/XvfbServer.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

// RGB of a delivered frame, copied out of the callback.
struct Snapshot {
    explicit Snapshot(const gfx::Texture& texture)
        : width(texture.Width()), height(texture.Height()), pixels(size_t{width} * height) {
        for (uint32_t y = 0; y < height; ++y) {
            const auto* row = reinterpret_cast<const uint32_t*>(texture.Row(y));
            for (uint32_t x = 0; x < width; ++x)
                pixels[size_t{y} * width + x] = row[x] & 0xFFFFFF;
        }
    }
    uint32_t At(uint32_t x, uint32_t y) const { return pixels[size_t{y} * width + x]; }

    uint32_t width;
    uint32_t height;
    std::vector<uint32_t> pixels;
};

class X11CaptureTest : public ::testing::Test {
  protected:
    explicit X11CaptureTest(const std::string& geometry = "1920x1080x24") : m_server(geometry) {}

    void SetUp() override {
        if (!m_server.Running())
            GTEST_SKIP() << "Xvfb is not available";
        m_painter = XOpenDisplay(m_server.Name().c_str());
        ASSERT_NE(m_painter, nullptr);
        m_display = platform::X11Display::Open(m_server.Name());
        ASSERT_NE(m_display, nullptr);
    }
    void TearDown() override {
        if (m_painter)
            XCloseDisplay(m_painter);
    }

    void FillRoot(int x, int y, int w, int h, unsigned long rgb) {
        GC gc = XCreateGC(m_painter, DefaultRootWindow(m_painter), 0, nullptr);
        XSetForeground(m_painter, gc, rgb);
        XFillRectangle(m_painter, DefaultRootWindow(m_painter), gc, x, y, w, h);
        XFreeGC(m_painter, gc);
        XSync(m_painter, False);
    }

    ::Window CreateWindow(int x, int y, int w, int h, unsigned long rgb) {
        ::Window window =
            XCreateSimpleWindow(m_painter, DefaultRootWindow(m_painter), x, y, w, h, 0, 0, rgb);
        XMapWindow(m_painter, window);
        XSync(m_painter, False);
        return window;
    }

    void SetIconic(::Window window) {
        const Atom state = XInternAtom(m_painter, "WM_STATE", False);
        const long value[2] = {IconicState, 0};
        XChangeProperty(m_painter, window, state, state, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(value), 2);
        XSync(m_painter, False);
    }

    // Polls `done` until it holds or 15 s pass.
    // Generous: a sanitized build on a loaded machine grabs a 1920x1080 screen slowly.
    static bool Eventually(const std::function<bool()>& done) {
        return test::Eventually(done, std::chrono::seconds(15));
    }
    bool WaitForFrame(const std::function<bool(const Snapshot&)>& done) {
        return Eventually([&] {
            std::lock_guard lock(m_frameMutex);
            return m_latest && done(*m_latest);
        });
    }

    // Keeps a copy of each delivered frame, since the texture is only valid during the callback.
    FrameCallback KeepLatest() {
        return [this](gfx::Texture* texture, int64_t) {
            auto copy = std::make_shared<Snapshot>(*texture);
            std::lock_guard lock(m_frameMutex);
            m_latest = std::move(copy);
        };
    }

    test::XvfbServer m_server;
    ::Display* m_painter = nullptr;
    std::mutex m_frameMutex;
    std::shared_ptr<const Snapshot> m_latest;
    std::shared_ptr<platform::X11Display> m_display;
};

TEST_F(X11CaptureTest, DrawnPixelsArriveAtTheirPlaceAndAnIdleScreenIsPaced) {
    ScreenCapture capture(m_display);
    capture.SetCaptureCursor(false);
    ASSERT_TRUE(capture.InitializeForMonitor(0));
    EXPECT_EQ(capture.Width(), 1920u);
    std::atomic<uint32_t> seen{0};
    std::atomic<int> frames{0};
    ASSERT_TRUE(capture.Start([&](gfx::Texture* texture, int64_t) {
        seen = reinterpret_cast<uint32_t*>(texture->Row(300))[500] & 0xFFFFFF;
        ++frames;
    }));
    FillRoot(400, 200, 300, 200, 0x3366CC);
    EXPECT_TRUE(Eventually([&] { return seen == 0x3366CCu; }));
    frames = 0;
    std::this_thread::sleep_for(2000ms);
    capture.Stop();
    EXPECT_GE(frames.load(), 35) << "about 60 deliveries in 2 s of a still screen";
    EXPECT_LE(frames.load(), 64);
}

TEST_F(X11CaptureTest, WindowIsCapturedAloneThroughResizeAndMinimiseAndUnknownOnesQuietlyRefused) {
    const ::Window target = CreateWindow(100, 100, 640, 480, 0xCC3300);
    CreateWindow(300, 200, 400, 300, 0x00AA00);  // covers part of the target
    ScreenCapture capture(m_display);
    {
        test::LogCapture log;
        EXPECT_FALSE(capture.InitializeForWindow(0x7FFFFF0));
        EXPECT_FALSE(capture.InitializeForWindow(0));
        EXPECT_TRUE(log.Lines().empty()) << log.Lines().front();
    }
    ASSERT_TRUE(capture.InitializeForWindow(target));
    EXPECT_EQ(capture.Width(), 640u);
    EXPECT_EQ(capture.Height(), 480u);
    ASSERT_TRUE(capture.Start(KeepLatest()));

    EXPECT_TRUE(WaitForFrame([](const Snapshot& frame) {
        return frame.width == 640 && frame.height == 480 && frame.At(10, 10) == 0xCC3300u &&
               frame.At(400, 300) == 0xCC3300u;  // under the covering window
    }));

    XResizeWindow(m_painter, target, 800, 600);
    XClearWindow(m_painter, target);
    XSync(m_painter, False);
    EXPECT_TRUE(WaitForFrame([](const Snapshot& frame) {
        return frame.width == 800 && frame.height == 600 && frame.At(790, 590) == 0xCC3300u;
    })) << "frames follow the window's new size";
    EXPECT_EQ(capture.Width(), 800u);
    EXPECT_EQ(capture.Height(), 600u);

    SetIconic(target);
    EXPECT_TRUE(WaitForFrame([](const Snapshot& frame) {
        return frame.width == 1920 && frame.height == 1080 && frame.At(960, 540) == 0;
    })) << "a minimised window gives black frames of its monitor's size";
    capture.Stop();
}

TEST_F(X11CaptureTest, CursorIsDrawnOnlyWhenAskedFor) {
    FillRoot(0, 0, 1920, 1080, 0x808080);
    XWarpPointer(m_painter, 0, DefaultRootWindow(m_painter), 0, 0, 0, 0, 960, 540);
    XSync(m_painter, False);
    const auto cursorPixels = [](const Snapshot& frame) {
        int changed = 0;
        for (uint32_t y = 520; y < 560; ++y) {
            for (uint32_t x = 940; x < 980; ++x)
                changed += frame.At(x, y) != 0x808080u;
        }
        return changed;
    };
    for (const bool withCursor : {true, false}) {
        SCOPED_TRACE(withCursor ? "cursor on" : "cursor off");
        {
            std::lock_guard lock(m_frameMutex);
            m_latest.reset();
        }
        ScreenCapture capture(m_display);
        capture.SetCaptureCursor(withCursor);
        ASSERT_TRUE(capture.InitializeForMonitor(0));
        ASSERT_TRUE(capture.Start(KeepLatest()));
        ASSERT_TRUE(
            WaitForFrame([](const Snapshot& frame) { return frame.At(10, 10) == 0x808080u; }));
        capture.Stop();
        std::lock_guard lock(m_frameMutex);
        if (withCursor)
            EXPECT_GT(cursorPixels(*m_latest), 20);
        else
            EXPECT_EQ(cursorPixels(*m_latest), 0);
    }
}

TEST(X11DisplayTest, NoServerFailsCleanly) {
    test::LogCapture log;
    EXPECT_EQ(platform::X11Display::Open(":399"), nullptr);
    EXPECT_TRUE(log.Contains("[X11Display] cannot open display ':399'"));
    ScreenCapture capture(nullptr);
    EXPECT_FALSE(capture.InitializeForMonitor(0));
    EXPECT_TRUE(log.Contains("[ScreenCapture] CreateForMonitor failed: 0x80004005"));
}

// Two monitors side by side on one 3840-wide screen, declared the way a desktop would.
class X11TwoMonitorTest : public X11CaptureTest {
  protected:
    X11TwoMonitorTest() : X11CaptureTest("3840x1080x24") {}
};

TEST_F(X11TwoMonitorTest, SecondMonitorIsCapturedFromItsOwnOrigin) {
    const Atom right = XInternAtom(m_painter, "RIGHT", False);
    XRRMonitorInfo* monitor = XRRAllocateMonitor(m_painter, 0);
    monitor->name = right;
    monitor->x = 1920;
    monitor->width = 1920;
    monitor->height = 1080;
    monitor->mwidth = 500;
    monitor->mheight = 300;
    XRRSetMonitor(m_painter, DefaultRootWindow(m_painter), monitor);
    XRRFreeMonitors(monitor);
    XSync(m_painter, False);

    const auto monitors = m_display->Monitors();
    const auto found = std::find_if(monitors.begin(), monitors.end(),
                                    [&](const platform::MonitorInfo& m) { return m.x == 1920; });
    ASSERT_NE(found, monitors.end()) << monitors.size() << " monitors";
    EXPECT_EQ(found->name, "RIGHT");

    FillRoot(0, 0, 3840, 1080, 0x000000);
    FillRoot(1920 + 100, 50, 200, 100, 0x22DD44);
    ScreenCapture capture(m_display);
    capture.SetCaptureCursor(false);
    ASSERT_TRUE(capture.InitializeForMonitor(found->id));
    EXPECT_EQ(capture.Width(), 1920u);
    ASSERT_TRUE(capture.Start(KeepLatest()));
    EXPECT_TRUE(WaitForFrame([](const Snapshot& frame) {
        return frame.width == 1920 && frame.At(150, 100) == 0x22DD44u && frame.At(50, 100) == 0;
    }));
    capture.Stop();
}

}  // namespace
}  // namespace tamro
