#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "support/ChildProcess.h"

namespace tamro::test {

// A private Xvfb on a display number of its own, stopped by its pid.
class XvfbServer {
  public:
    explicit XvfbServer(const std::string& geometry = "1920x1080x24") {
        // Tests run in parallel processes: one at a time picks a number and starts its server.
        const int lock = open("/tmp/tamro-test-xvfb.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (lock >= 0)
            flock(lock, LOCK_EX);
        for (int number = 140 + (getpid() % 200); number < 400 && !Running(); number += 7) {
            if (access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0 ||
                access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0)
                continue;
            m_name = ":" + std::to_string(number);
            m_process.emplace(std::vector<std::string>{"Xvfb", m_name, "-screen", "0", geometry,
                                                       "-nolisten", "tcp", "-noreset"});
            if (m_process->pid() <= 0)
                break;  // Xvfb is not installed
            if (!WaitReady())
                m_process.reset();
        }
        if (lock >= 0)
            close(lock);
    }

    bool Running() const { return Pid() > 0; }
    const std::string& Name() const { return m_name; }
    pid_t Pid() const { return m_process ? m_process->pid() : -1; }
    // The server gone at once, as in a crash.
    void Kill() {
        if (m_process)
            m_process->Kill();
    }

  private:
    // Ready when the display answers and is ours: a server started at the same moment by
    // another test may hold the number, and then ours exits and the next number is tried.
    bool WaitReady() {
        for (int i = 0; i < 100 && !m_process->Exited(); ++i) {
            if (OwnsLock() && Accepts())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The server listens on its socket (probed without Xlib, whose macros would leak into every
    // test that includes this header).
    bool Accepts() const {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = "/tmp/.X11-unix/X" + m_name.substr(1);
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        const bool connected =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return connected;
    }
    bool OwnsLock() const {
        std::ifstream lock("/tmp/.X" + m_name.substr(1) + "-lock");
        pid_t owner = 0;
        return static_cast<bool>(lock >> owner) && owner == Pid();
    }

    std::string m_name;
    std::optional<ChildProcess> m_process;
};

}  // namespace tamro::test
