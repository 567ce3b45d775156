#include "platform/display/X11Connection.h"

#include <memory>
#include <utility>

#include "diag/Log.h"

namespace tamro::platform {

namespace {

thread_local int t_trappedError = 0;

int RecordError(::Display*, XErrorEvent* event) {
    if (t_trappedError == 0)
        t_trappedError = event->error_code;
    return 0;
}

// A lost connection ends the process unless the connection's exit handler returns (OnLost).
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
    auto connection = std::make_unique<X11Connection>(Key(), display);
    XSetIOErrorExitHandler(display, &X11Connection::OnLost, connection.get());
    return connection;
}

// Xlib marks the connection dead when this returns; the owners notice through Lost and stop.
void X11Connection::OnLost(::Display*, void* self) {
    if (!static_cast<X11Connection*>(self)->m_lost.exchange(true))
        LogLine("[X11Display] The display connection was lost\n");
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
