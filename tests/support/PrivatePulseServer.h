#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace tamro::test {

inline bool ProgramInstalled(const char* name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && ::access((std::filesystem::path(dir) / name).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// Sets an environment variable for the object's lifetime and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const std::string& value) : m_name(std::move(name)) {
        if (const char* old = std::getenv(m_name.c_str())) {
            m_old = old;
        }
        ::setenv(m_name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (m_old) {
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        } else {
            ::unsetenv(m_name.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// A PulseAudio server of the test's own, reachable only on a socket in a temporary folder: a
// 48 kHz null sink as the default output and a pipe source ("tamro_mic", 48 kHz mono s16le, fed
// through MicFifo) as the default input. This process's clients are pointed at it while the object
// lives; the server is stopped by its pid.
class PrivatePulseServer {
  public:
    static constexpr const char* kSink = "tamro_sink";
    static constexpr const char* kMic = "tamro_mic";

    // The null sink as a user's server loads it renders as far ahead as its players allow and
    // cannot take back what it handed its monitor, so every latency change of a client costs
    // the monitor audio; most tests take the sink without rewinds, which keeps it near real time.
    enum class Sink { kWithoutRewinds, kAsUsersHaveIt };

    explicit PrivatePulseServer(Sink sink = Sink::kWithoutRewinds) : m_sink(sink) {
        const std::string d = m_dir.path().string();
        std::filesystem::create_directories(d + "/home");
        std::filesystem::create_directories(d + "/run");
        m_server = "unix:" + d + "/native";
        m_serverVariable.emplace("PULSE_SERVER", m_server);
        m_home.emplace("HOME", d + "/home");
        Launch();
    }
    ~PrivatePulseServer() { Kill(); }

    // The server gone, as when it crashes; Restart brings up a new one on the same socket.
    void Kill() {
        if (m_process)
            m_process->Stop();
        m_process.reset();
        m_ready = false;
    }
    bool Restart() {
        Kill();
        std::error_code ignored;
        std::filesystem::remove(m_dir.path() / "native", ignored);
        std::filesystem::remove(m_dir.path() / "mic.fifo", ignored);
        Launch();
        return m_ready;
    }

    bool Ready() const { return m_ready; }
    const std::string& server() const { return m_server; }
    std::filesystem::path MicFifo() const { return m_dir.path() / "mic.fifo"; }
    const std::filesystem::path& dir() const { return m_dir.path(); }
    std::string LogPath() const { return (m_dir.path() / "server.log").string(); }
    std::string Log() const {
        std::ifstream in(LogPath());
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Runs pactl against this server; true on exit status 0.
    bool Control(std::vector<std::string> args) const {
        args.insert(args.begin(), {"pactl", "--server=" + m_server});
        return ChildProcess(args).Wait() == 0;
    }

  private:
    void Launch() {
        const std::string d = m_dir.path().string();
        m_process = std::make_unique<ChildProcess>(
            std::vector<std::string>{
                "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
                "--disable-shm=yes", "--no-cpu-limit=yes", "--realtime=no", "--high-priority=no",
                "--log-target=stderr",
                "--load=module-native-protocol-unix auth-anonymous=1 socket=" + d + "/native",
                std::string("--load=module-null-sink rate=48000 ") +
                    (m_sink == Sink::kWithoutRewinds ? "norewinds=1 " : "") + "sink_name=" + kSink,
                std::string("--load=module-pipe-source rate=48000 channels=1 format=s16le ") +
                    "source_name=" + kMic + " file=" + d + "/mic.fifo"},
            std::vector<std::string>{"HOME=" + d + "/home", "PULSE_RUNTIME_PATH=" + d + "/run",
                                     "XDG_RUNTIME_DIR=" + d + "/run"},
            LogPath());
        for (int i = 0; i < 250 && !SocketsExist(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_ready = SocketsExist() && Control({"set-default-sink", kSink}) &&
                  Control({"set-default-source", kMic});
    }

    bool SocketsExist() const {
        return std::filesystem::exists(m_dir.path() / "native") &&
               std::filesystem::exists(m_dir.path() / "mic.fifo");
    }

    const Sink m_sink;
    TempDir m_dir;
    std::string m_server;
    std::unique_ptr<ChildProcess> m_process;
    bool m_ready = false;
    // The client side: libpulse finds the server here and reads no user configuration.
    std::optional<ScopedEnvironment> m_serverVariable;
    std::optional<ScopedEnvironment> m_home;
};

}  // namespace tamro::test
