#include "BubbleWindow.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <chrono>
#include <cstring>

namespace tamro::preview {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kTitle[] = "Tamro camera";
constexpr auto kMapTimeout = std::chrono::seconds(1);

// Waits until the connection has input or `deadline` passes.
void WaitForInput(::Display* display, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(left));
}

BubbleEvent KeyEvent(XKeyEvent key) {
    switch (XLookupKeysym(&key, 0)) {
        case XK_e:
            return BubbleEvent::kNextEffect;
        case XK_s:
            return BubbleEvent::kNextShape;
        case XK_m:
            return BubbleEvent::kMirror;
        case XK_q:
        case XK_Escape:
            return BubbleEvent::kQuit;
        default:
            return BubbleEvent::kNone;
    }
}

}  // namespace

std::unique_ptr<BubbleWindow> BubbleWindow::Create(const std::string& displayName, int x, int y,
                                                   uint32_t size, bool preferArgb) {
    ::Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!display)
        return nullptr;
    auto window = std::make_unique<BubbleWindow>(Key(), display);
    XSetIOErrorExitHandler(display, &BubbleWindow::OnLost, window.get());
    if (!window->Make(x, y, size, preferArgb))
        return nullptr;
    window->Decorate();
    window->MapAndWait();
    return window;
}

BubbleWindow::BubbleWindow(Key, ::Display* display) : m_display(display) {}

// Xlib would end the process when this returns; the window reports itself closed instead.
void BubbleWindow::OnLost(::Display*, void* self) {
    static_cast<BubbleWindow*>(self)->m_lost = true;
}

BubbleWindow::~BubbleWindow() {
    Destroy();
    if (m_colormap && !m_lost)
        XFreeColormap(m_display, m_colormap);
    XCloseDisplay(m_display);
}

// A window on a 32-bit visual needs a colormap and border of that visual, and a transparent
// background until the first frame arrives.
bool BubbleWindow::Make(int x, int y, uint32_t size, bool preferArgb) {
    m_x = x;
    m_y = y;
    const int screen = DefaultScreen(m_display);
    const ::Window root = RootWindow(m_display, screen);
    Visual* visual = DefaultVisual(m_display, screen);
    int depth = DefaultDepth(m_display, screen);
    XSetWindowAttributes attributes{};
    unsigned long mask = CWBackPixel | CWBorderPixel;
    attributes.background_pixel = BlackPixel(m_display, screen);
    XVisualInfo argb{};
    if (preferArgb && XMatchVisualInfo(m_display, screen, 32, TrueColor, &argb)) {
        visual = argb.visual;
        depth = 32;
        m_colormap = XCreateColormap(m_display, root, visual, AllocNone);
        attributes.colormap = m_colormap;
        attributes.background_pixel = 0;
        mask |= CWColormap;
        m_argb = true;
    }
    m_window = XCreateWindow(m_display, root, x, y, size, size, 0, depth, InputOutput, visual, mask,
                             &attributes);
    return m_window != 0;
}

void BubbleWindow::Decorate() {
    XStoreName(m_display, m_window, kTitle);
    const Atom utf8 = XInternAtom(m_display, "UTF8_STRING", False);
    XChangeProperty(m_display, m_window, XInternAtom(m_display, "_NET_WM_NAME", False), utf8, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(kTitle),
                    static_cast<int>(std::strlen(kTitle)));
    // flags = decorations given; decorations = none.
    const long motifHints[5] = {1L << 1, 0, 0, 0, 0};
    const Atom motif = XInternAtom(m_display, "_MOTIF_WM_HINTS", False);
    XChangeProperty(m_display, m_window, motif, motif, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(motifHints), 5);
    // Set before mapping, the state is the window manager's to honour when it manages the window.
    const Atom above = XInternAtom(m_display, "_NET_WM_STATE_ABOVE", False);
    XChangeProperty(m_display, m_window, XInternAtom(m_display, "_NET_WM_STATE", False), XA_ATOM,
                    32, PropModeReplace, reinterpret_cast<const unsigned char*>(&above), 1);
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    XSetWMNormalHints(m_display, m_window, &hints);
    m_deleteWindow = XInternAtom(m_display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(m_display, m_window, &m_deleteWindow, 1);
    XSelectInput(m_display, m_window,
                 KeyPressMask | ButtonPressMask | ButtonReleaseMask | Button1MotionMask |
                     StructureNotifyMask);
}

// A window manager maps the window when it has framed it; the bubble is drawn only after that.
void BubbleWindow::MapAndWait() {
    XMapWindow(m_display, m_window);
    XSync(m_display, False);
    const auto deadline = Clock::now() + kMapTimeout;
    XEvent event;
    while (!XCheckTypedWindowEvent(m_display, m_window, MapNotify, &event) &&
           Clock::now() < deadline)
        WaitForInput(m_display, deadline);
}

void BubbleWindow::Resize(uint32_t size) {
    if (!m_window || m_lost)
        return;
    XResizeWindow(m_display, m_window, size, size);
    XSync(m_display, False);
}

void BubbleWindow::Destroy() {
    if (!m_window || m_lost)
        return;
    XDestroyWindow(m_display, m_window);
    XSync(m_display, False);
    m_window = 0;
}

BubbleEvent BubbleWindow::NextEvent(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (!m_lost && XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (const BubbleEvent result = Handle(event); result != BubbleEvent::kNone)
                return result;
        }
        if (m_lost)
            return BubbleEvent::kClosed;
        if (Clock::now() >= deadline)
            return BubbleEvent::kNone;
        WaitForInput(m_display, deadline);
    }
}

BubbleEvent BubbleWindow::Handle(const XEvent& event) {
    switch (event.type) {
        case KeyPress:
            return KeyEvent(event.xkey);
        case ClientMessage:
            return static_cast<Atom>(event.xclient.data.l[0]) == m_deleteWindow
                       ? BubbleEvent::kClosed
                       : BubbleEvent::kNone;
        case DestroyNotify:
            if (event.xdestroywindow.window != m_window)
                return BubbleEvent::kNone;
            m_window = 0;  // gone already: not destroyed again
            return BubbleEvent::kClosed;
        case ButtonPress:
        case ButtonRelease:
        case MotionNotify:
            Drag(event);
            return BubbleEvent::kNone;
        default:
            return BubbleEvent::kNone;
    }
}

// The window follows the pointer, keeping the point it was taken by under the pointer.
void BubbleWindow::Drag(const XEvent& event) {
    if (event.type == ButtonPress && event.xbutton.button == Button1) {
        m_dragging = true;
        m_grabX = event.xbutton.x;
        m_grabY = event.xbutton.y;
    } else if (event.type == ButtonRelease && event.xbutton.button == Button1) {
        m_dragging = false;
    } else if (event.type == MotionNotify && m_dragging) {
        XEvent latest = event;
        while (XCheckTypedWindowEvent(m_display, m_window, MotionNotify, &latest)) {
        }
        m_x = latest.xmotion.x_root - m_grabX;
        m_y = latest.xmotion.y_root - m_grabY;
        XMoveWindow(m_display, m_window, m_x, m_y);
        XFlush(m_display);
    }
}

}  // namespace tamro::preview
