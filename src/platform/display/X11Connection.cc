#include "platform/display/X11Connection.h"

#include <memory>
#include <utility>

namespace tamro::platform {

namespace {

thread_local int t_trappedError = 0;

int RecordError(::Display*, XErrorEvent* event) {
    if (t_trappedError == 0)
        t_trappedError = event->error_code;
    return 0;
}

// Lost connections end Xlib's process by default; there is no way back, but the log says why.
int ReportIOError(::Display*) {
    return 0;
}

void InstallHandlersOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(&RecordError);
        XSetIOErrorHandler(&ReportIOError);
    });
}

}  // namespace

std::unique_ptr<X11Connection> X11Connection::Open(const std::string& name) {
    InstallHandlersOnce();
    ::Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display)
        return nullptr;
    return std::make_unique<X11Connection>(Key(), display);
}

X11Connection::~X11Connection() {
    XCloseDisplay(m_display);
}

void X11Connection::BeginTrap() {
    XSync(m_display, False);
    t_trappedError = 0;
}

int X11Connection::EndTrap() {
    XSync(m_display, False);
    return std::exchange(t_trappedError, 0);
}

}  // namespace tamro::platform
