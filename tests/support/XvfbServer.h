#pragma once

#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

extern char** environ;

namespace tamro::test {

// A private Xvfb on a display number of its own, stopped by its pid.
class XvfbServer {
  public:
    explicit XvfbServer(const std::string& geometry = "1920x1080x24") {
        for (int number = 140 + (getpid() % 200); number < 400 && m_pid <= 0; number += 7) {
            if (access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0)
                continue;
            m_name = ":" + std::to_string(number);
            std::string screen = geometry;
            const char* argv[] = {"Xvfb",         m_name.c_str(), "-screen", "0",
                                  screen.c_str(), "-nolisten",    "tcp",     nullptr};
            if (posix_spawnp(&m_pid, "Xvfb", nullptr, nullptr, const_cast<char**>(argv), environ) !=
                0) {
                m_pid = -1;
                return;
            }
            if (!WaitReady())
                Stop();
        }
    }
    ~XvfbServer() { Stop(); }

    bool Running() const { return m_pid > 0; }
    const std::string& Name() const { return m_name; }
    pid_t Pid() const { return m_pid; }

  private:
    bool WaitReady() {
        for (int i = 0; i < 100; ++i) {
            if (::Display* display = XOpenDisplay(m_name.c_str())) {
                XCloseDisplay(display);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

    std::string m_name;
    pid_t m_pid = -1;
};

}  // namespace tamro::test
