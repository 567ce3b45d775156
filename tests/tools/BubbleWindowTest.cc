#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) clash with gtest's names.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "BubbleWindow.h"
#include "support/XvfbServer.h"

namespace tamro::preview {
namespace {

// Events as the server would deliver them, sent from a connection of the test's own.
class BubbleWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!m_server.Running())
            GTEST_SKIP() << "Xvfb is not available";
        m_user = XOpenDisplay(m_server.Name().c_str());
        ASSERT_NE(m_user, nullptr);
        m_window = BubbleWindow::Create(m_server.Name(), 40, 30, 100, true);
        ASSERT_NE(m_window, nullptr);
    }
    void TearDown() override {
        m_window.reset();
        if (m_user)
            XCloseDisplay(m_user);
    }

    void Send(XEvent event, long mask) {
        event.xany.window = m_window->Id();
        XSendEvent(m_user, m_window->Id(), False, mask, &event);
        XSync(m_user, False);
    }
    void Key(KeySym sym) {
        XEvent event{};
        event.xkey.type = KeyPress;
        event.xkey.keycode = XKeysymToKeycode(m_user, sym);
        event.xkey.root = DefaultRootWindow(m_user);
        Send(event, KeyPressMask);
    }
    void Button(int type, int x, int y) {
        XEvent event{};
        event.xbutton.type = type;
        event.xbutton.button = Button1;
        event.xbutton.x = x;
        event.xbutton.y = y;
        Send(event, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask);
    }
    void Motion(int rootX, int rootY) {
        XEvent event{};
        event.xmotion.type = MotionNotify;
        event.xmotion.x_root = rootX;
        event.xmotion.y_root = rootY;
        event.xmotion.state = Button1Mask;
        Send(event, Button1MotionMask);
    }
    std::pair<int, int> Position() {
        XWindowAttributes attributes{};
        XGetWindowAttributes(m_user, m_window->Id(), &attributes);
        return {attributes.x, attributes.y};
    }

    test::XvfbServer m_server{"320x240x24"};
    ::Display* m_user = nullptr;
    std::unique_ptr<BubbleWindow> m_window;
};

TEST_F(BubbleWindowTest, KeysAndTheWindowManagersCloseBecomeEvents) {
    EXPECT_EQ(m_window->NextEvent(0), BubbleEvent::kNone);
    const std::pair<KeySym, BubbleEvent> keys[] = {
        {XK_e, BubbleEvent::kNextEffect}, {XK_s, BubbleEvent::kNextShape},
        {XK_m, BubbleEvent::kMirror},     {XK_q, BubbleEvent::kQuit},
        {XK_Escape, BubbleEvent::kQuit},  {XK_x, BubbleEvent::kNone}};
    for (const auto& [sym, expected] : keys) {
        Key(sym);
        EXPECT_EQ(m_window->NextEvent(200), expected) << XKeysymToString(sym);
    }
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.message_type = XInternAtom(m_user, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(XInternAtom(m_user, "WM_DELETE_WINDOW", False));
    Send(close, NoEventMask);
    EXPECT_EQ(m_window->NextEvent(1000), BubbleEvent::kClosed);
}

TEST_F(BubbleWindowTest, LeftButtonDragMovesTheWindowWithThePointer) {
    EXPECT_TRUE(m_window->IsArgb());
    EXPECT_EQ(Position(), std::make_pair(40, 30));
    Button(ButtonPress, 10, 20);
    Motion(110, 70);
    EXPECT_EQ(m_window->NextEvent(100), BubbleEvent::kNone);
    EXPECT_EQ(Position(), std::make_pair(100, 50));
    Button(ButtonRelease, 10, 20);
    Motion(200, 200);
    EXPECT_EQ(m_window->NextEvent(100), BubbleEvent::kNone);
    EXPECT_EQ(Position(), std::make_pair(100, 50));
}

}  // namespace
}  // namespace tamro::preview
