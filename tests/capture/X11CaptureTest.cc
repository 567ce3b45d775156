#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) clash with gtest's names.
#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "capture/ScreenCapture.h"
#include "platform/display/X11Display.h"
#include "support/LogCapture.h"
#include "support/XvfbServer.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

class X11CaptureTest : public ::testing::Test {
  protected:
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

    test::XvfbServer m_server;
    ::Display* m_painter = nullptr;
    std::shared_ptr<platform::X11Display> m_display;
};

TEST_F(X11CaptureTest, DrawnPixelsArriveAtTheirPlaceAndAnIdleScreenIsPaced) {
    ScreenCapture capture(m_display);
    capture.SetCaptureCursor(false);
    ASSERT_TRUE(capture.InitializeForMonitor(0));
    EXPECT_EQ(capture.Width(), 1920u);
    std::mutex mutex;
    uint32_t seen = 0;
    std::atomic<int> frames{0};
    ASSERT_TRUE(capture.Start([&](gfx::Texture* texture, int64_t) {
        std::lock_guard lock(mutex);
        seen = reinterpret_cast<uint32_t*>(texture->Row(300))[500] & 0xFFFFFF;
        ++frames;
    }));
    FillRoot(400, 200, 300, 200, 0x3366CC);
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(20ms);
        std::lock_guard lock(mutex);
        if (seen == 0x3366CCu)
            break;
    }
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(seen, 0x3366CCu);
    }
    frames = 0;
    std::this_thread::sleep_for(2000ms);
    capture.Stop();
    EXPECT_GE(frames.load(), 35) << "about 60 deliveries in 2 s of a still screen";
    EXPECT_LE(frames.load(), 64);
}

TEST(X11DisplayTest, NoServerFailsCleanly) {
    test::LogCapture log;
    EXPECT_EQ(platform::X11Display::Open(":399"), nullptr);
    EXPECT_TRUE(log.Contains("[X11Display] cannot open display ':399'"));
    ScreenCapture capture(nullptr);
    EXPECT_FALSE(capture.InitializeForMonitor(0));
    EXPECT_TRUE(log.Contains("[ScreenCapture] CreateForMonitor failed: 0x80004005"));
}

}  // namespace
}  // namespace tamro
