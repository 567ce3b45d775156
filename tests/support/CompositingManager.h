#pragma once

#include <X11/Xlib.h>

#include <string>

#include "support/ChildProcess.h"
#include "support/Eventually.h"

namespace tamro::test {

// xcompmgr on a display, stopped by its pid when the object goes.
class CompositingManager {
  public:
    // Waits until the manager holds the screen's compositing selection.
    CompositingManager(const std::string& displayName, ::Display* display)
        : m_process({"xcompmgr"}, {"DISPLAY=" + displayName}),
          m_running(m_process.pid() > 0 && Eventually([&] { return Present(display); })) {}

    bool Running() const { return m_running; }

    // Whether some compositing manager holds the default screen's selection.
    static bool Present(::Display* display) {
        const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display));
        return XGetSelectionOwner(display, XInternAtom(display, name.c_str(), False)) != 0;
    }

  private:
    ChildProcess m_process;
    bool m_running;
};

}  // namespace tamro::test
