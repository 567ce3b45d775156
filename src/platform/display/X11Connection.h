#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace tamro::platform {

// One Xlib connection with the error trap the backend needs: X errors are recorded per thread
// instead of ending the process.
// Threading: one thread at a time (callers hold their own lock).
class X11Connection {
  public:
    // Null when the display cannot be opened.
    static std::unique_ptr<X11Connection> Open(const std::string& name);
    ~X11Connection();

    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    ::Display* get() const { return m_display; }
    // The server went away: every later call on the connection fails at once. Any thread.
    bool Lost() const { return m_lost.load(); }
    ::Window root() const { return DefaultRootWindow(m_display); }

    // Runs `call`, syncs, and returns the first X error code it caused (0 = none).
    template <typename Call>
    int Trapped(Call&& call) {
        BeginTrap();
        call();
        return EndTrap();
    }

    struct Key {
      private:
        Key() = default;
        friend class X11Connection;
    };
    X11Connection(Key, ::Display* display) : m_display(display) {}

  private:
    void BeginTrap();
    int EndTrap();

    static void OnLost(::Display* display, void* self);

    ::Display* m_display;
    std::atomic<bool> m_lost{false};
};

}  // namespace tamro::platform
