#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace tamro::preview {

// What the user asked of the bubble window.
enum class BubbleEvent : uint8_t {
    kNone,        // nothing within the timeout
    kNextEffect,  // 'e'
    kNextShape,   // 's'
    kMirror,      // 'm'
    kQuit,        // 'q' or Escape
    kClosed,      // the window manager's close, the window destroyed, or the display lost
};

// The preview's window: borderless, above others, titled, on a 32-bit ARGB visual when asked for
// and the screen has one. The user drags it with the left mouse button. Owns its own connection;
// the window and the connection close with the object.
// Threading: one thread at a time.
class BubbleWindow {
  public:
    // Null when the display cannot be opened or the window not made. `displayName` empty means
    // $DISPLAY.
    static std::unique_ptr<BubbleWindow> Create(const std::string& displayName, int x, int y,
                                                uint32_t size, bool preferArgb);

    struct Key {
      private:
        Key() = default;
        friend class BubbleWindow;
    };
    BubbleWindow(Key, ::Display* display);
    ~BubbleWindow();

    BubbleWindow(const BubbleWindow&) = delete;
    BubbleWindow& operator=(const BubbleWindow&) = delete;

    uint64_t Id() const { return m_window; }
    // The top-left corner on the screen, as placed and as dragged since.
    std::pair<int, int> Position() const { return {m_x, m_y}; }
    bool IsArgb() const { return m_argb; }
    // A square of `size` pixels from now on.
    void Resize(uint32_t size);
    // The window goes now; the connection stays until the object goes.
    void Destroy();
    // Waits up to `timeoutMs` for a key or a close, moving the window while it is dragged.
    BubbleEvent NextEvent(int timeoutMs);

  private:
    bool Make(int x, int y, uint32_t size, bool preferArgb);
    void Decorate();
    void MapAndWait();
    BubbleEvent Handle(const XEvent& event);
    void Drag(const XEvent& event);
    static void OnLost(::Display* display, void* self);

    ::Display* m_display;
    ::Window m_window = 0;
    Colormap m_colormap = 0;
    bool m_argb = false;
    bool m_lost = false;  // the server went away: no more requests
    Atom m_deleteWindow = 0;
    bool m_dragging = false;
    int m_x = 0;
    int m_y = 0;
    int m_grabX = 0;  // where in the window the pointer took hold
    int m_grabY = 0;
};

}  // namespace tamro::preview
