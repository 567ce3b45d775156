#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) clash with gtest's names.
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "BubbleWindow.h"
#include "platform/window/OpaqueBands.h"
#include "platform/window/X11BubbleSurface.h"
#include "support/CheckerboardDesktop.h"
#include "support/CompositingManager.h"
#include "support/Eventually.h"
#include "support/Screenshot.h"
#include "support/XvfbServer.h"
#include "tamro/ResultCode.h"

namespace tamro::platform::window {
namespace {

using namespace std::chrono_literals;

using test::CheckerboardDesktop;
using test::CompositingManager;
using test::Eventually;
using test::Screenshot;

// A disc filling a size x size buffer, premultiplied, its edge antialiased as the presenter's.
void DrawDisc(gfx::Texture& buffer, uint32_t rgb) {
    const float centre = buffer.Width() / 2.0f;
    const float radius = centre - 1.0f;
    for (uint32_t y = 0; y < buffer.Height(); ++y) {
        auto* row = reinterpret_cast<uint32_t*>(buffer.Row(y));
        for (uint32_t x = 0; x < buffer.Width(); ++x) {
            const float distance = std::hypot(x + 0.5f - centre, y + 0.5f - centre);
            const float cover = std::clamp(radius - distance + 0.5f, 0.0f, 1.0f);
            auto scaled = [&](int shift) {
                return static_cast<uint32_t>(std::lround(((rgb >> shift) & 0xFF) * cover)) << shift;
            };
            row[x] = static_cast<uint32_t>(std::lround(cover * 255)) << 24 | scaled(16) |
                     scaled(8) | scaled(0);
        }
    }
}

TEST(OpaqueBandsTest, RunsOfHalfOpaquePixelsBandedByRepeatingRows) {
    // Alphas of a 6 x 5 image; rows 1 and 2 repeat, row 3 is empty, row 4 repeats row 1's runs
    // but not the row above it.
    const uint8_t alpha[5][6] = {{0, 128, 255, 0, 0, 127},
                                 {255, 0, 0, 200, 200, 200},
                                 {255, 0, 0, 200, 200, 200},
                                 {0, 0, 0, 0, 0, 0},
                                 {255, 0, 0, 128, 128, 128}};
    std::vector<uint8_t> pixels(6 * 4 * 5, 0);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
            pixels[(y * 6 + x) * 4 + 3] = alpha[y][x];
    const std::vector<PixelRect> expected = {
        {1, 0, 2, 1}, {0, 1, 1, 2}, {3, 1, 3, 2}, {0, 4, 1, 1}, {3, 4, 3, 1}};
    EXPECT_EQ(OpaqueBands(pixels.data(), 6 * 4, 6, 5), expected);
}

class X11BubbleSurfaceTest : public ::testing::Test {
  protected:
    static constexpr int kX = 100;
    static constexpr int kY = 80;
    static constexpr uint32_t kSize = 200;
    static constexpr uint32_t kBubble = 0xD02060;

    void SetUp() override {
        if (!m_server.Running())
            GTEST_SKIP() << "Xvfb is not available";
        m_app = XOpenDisplay(m_server.Name().c_str());
        ASSERT_NE(m_app, nullptr);
        CheckerboardDesktop::Paint(m_app);
    }
    void TearDown() override {
        m_surface.reset();
        m_window.reset();
        m_compositor.reset();
        if (m_app)
            XCloseDisplay(m_app);
    }

    void OpenBubble(bool argb) {
        m_window = preview::BubbleWindow::Create(m_server.Name(), kX, kY, kSize, argb);
        ASSERT_NE(m_window, nullptr);
        ASSERT_EQ(m_window->IsArgb(), argb);
        m_surface = std::make_unique<X11BubbleSurface>(m_server.Name(), m_window->Id());
        std::string failed;
        ASSERT_TRUE(m_surface->Open(m_device.get(), kSize, kSize, &failed)) << failed;
    }
    int32_t PresentDisc(uint32_t rgb, bool shapeChanged = true) {
        DrawDisc(*m_surface->BackBuffer(), rgb);
        return m_surface->Present(shapeChanged);
    }

    bool StartCompositor() {
        m_compositor.emplace(m_server.Name(), m_app);
        return m_compositor->Running();
    }
    bool WindowIsShaped() {
        int bounding = 0, clip = 0, unused = 0;
        unsigned width = 0, height = 0;
        XShapeQueryExtents(m_app, m_window->Id(), &bounding, &unused, &unused, &width, &height,
                           &clip, &unused, &unused, &width, &height);
        return bounding != 0;
    }

    // The bubble's centre in its colour and its square's corners showing the desktop.
    bool ShowsBubbleOverDesktop(uint32_t rgb, uint32_t size) {
        const Screenshot shot(m_app, 640, 480);
        const int last = static_cast<int>(size) - 3;
        const std::array<std::pair<int, int>, 4> corners = {
            {{2, 2}, {last, 2}, {2, last}, {last, last}}};
        for (const auto& [x, y] : corners)
            if (shot.At(kX + x, kY + y) != CheckerboardDesktop::At(kX + x, kY + y))
                return false;
        return shot.At(kX + size / 2, kY + size / 2) == rgb;
    }
    test::XvfbServer m_server{"640x480x24"};
    ::Display* m_app = nullptr;
    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    std::optional<CompositingManager> m_compositor;
    std::unique_ptr<preview::BubbleWindow> m_window;
    std::unique_ptr<X11BubbleSurface> m_surface;
};

TEST_F(X11BubbleSurfaceTest, ArgbWindowWithoutCompositorIsCutToo) {
    OpenBubble(true);
    EXPECT_FALSE(m_surface->ShowsAlpha());
    ASSERT_EQ(PresentDisc(kBubble), kOk);
    EXPECT_TRUE(ShowsBubbleOverDesktop(kBubble, kSize));
}

TEST_F(X11BubbleSurfaceTest, FollowsTheCompositorComingAndGoing) {
    OpenBubble(true);
    ASSERT_EQ(PresentDisc(kBubble), kOk);
    ASSERT_TRUE(WindowIsShaped());
    ASSERT_TRUE(StartCompositor());
    // Unchanged frames: the window is made whole for the compositor's sake alone.
    for (uint32_t i = 0; i < X11BubbleSurface::kCompositorCheckInterval; ++i)
        ASSERT_EQ(m_surface->Present(false), kOk);
    EXPECT_TRUE(m_surface->ShowsAlpha());
    EXPECT_FALSE(WindowIsShaped());
    m_compositor.reset();
    ASSERT_TRUE(Eventually([&] { return !CompositingManager::Present(m_app); }));
    for (uint32_t i = 0; i < X11BubbleSurface::kCompositorCheckInterval; ++i)
        ASSERT_EQ(m_surface->Present(false), kOk);
    EXPECT_FALSE(m_surface->ShowsAlpha());
    EXPECT_TRUE(WindowIsShaped());
    EXPECT_TRUE(ShowsBubbleOverDesktop(kBubble, kSize));
}

TEST_F(X11BubbleSurfaceTest, ResizedBufferIsDrawnAndCutAtItsNewSize) {
    OpenBubble(false);
    ASSERT_EQ(PresentDisc(kBubble), kOk);
    constexpr uint32_t kSmaller = 120;
    m_window->Resize(kSmaller);
    ASSERT_EQ(m_surface->Resize(kSmaller, kSmaller), kOk);
    ASSERT_EQ(m_surface->BackBuffer()->Width(), kSmaller);
    constexpr uint32_t kOther = 0x20C0A0;
    ASSERT_EQ(PresentDisc(kOther), kOk);
    EXPECT_TRUE(ShowsBubbleOverDesktop(kOther, kSmaller));
    const Screenshot shot(m_app, 640, 480);
    EXPECT_EQ(shot.At(kX + 150, kY + 100), CheckerboardDesktop::At(kX + 150, kY + 100));
}

TEST_F(X11BubbleSurfaceTest, PresentFailsForGoodOnceTheDisplayIsLost) {
    OpenBubble(false);
    ASSERT_EQ(PresentDisc(kBubble), kOk);
    XSetIOErrorExitHandler(
        m_app, [](::Display*, void*) {}, nullptr);
    m_server.Kill();
    EXPECT_EQ(PresentDisc(kBubble), kFail);
    EXPECT_EQ(PresentDisc(kBubble, false), kFail);
    EXPECT_EQ(m_window->NextEvent(0), preview::BubbleEvent::kClosed);
}

TEST_F(X11BubbleSurfaceTest, OpenOnAMissingWindowNamesTheStep) {
    X11BubbleSurface surface(m_server.Name(), 0x3FFFF01);
    std::string failed;
    EXPECT_FALSE(surface.Open(m_device.get(), 64, 64, &failed));
    EXPECT_EQ(failed, "XGetWindowAttributes");
    EXPECT_EQ(surface.BackBuffer(), nullptr);
    EXPECT_EQ(surface.Present(true), kFail);
}

}  // namespace
}  // namespace tamro::platform::window
