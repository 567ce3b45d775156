#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tamro::test {

// A child process in a process group of its own, started with posix_spawn (no code runs between
// fork and exec in a process that may have threads). Input comes from `input`, output goes to
// `output` (default: nowhere for both).
// Stopped and reaped by its pid when the object goes.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& args,
                          const std::vector<std::string>& extraEnv = {},
                          const std::string& output = "/dev/null",
                          const std::string& input = "/dev/null") {
        std::vector<std::string> env = extraEnv;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            env.emplace_back(*entry);  // the first of two equal names wins
        }
        std::vector<char*> argv = Pointers(args);
        std::vector<char*> envp = Pointers(env);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        if (posix_spawnp(&m_pid, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) {
            m_pid = -1;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }

    // Waits for the child to end; its exit status, or -1 when it did not exit normally.
    int Wait() {
        int status = 0;
        const bool reaped = m_pid > 0 && ::waitpid(m_pid, &status, 0) == m_pid;
        m_pid = -1;
        return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // True once the child has ended or never started; an ended child is reaped.
    bool Exited() {
        if (m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
            m_pid = -1;
        return m_pid <= 0;
    }

    // The child gone at once, as in a crash.
    void Kill() {
        if (m_pid > 0)
            ::kill(m_pid, SIGKILL);
        Wait();
    }

    // SIGTERM to the child's group (a shell's children go with it), SIGKILL after two seconds.
    void Stop() {
        if (m_pid <= 0) {
            return;
        }
        ::kill(-m_pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(-m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

  private:
    // The null-terminated array of C strings that exec takes.
    static std::vector<char*> Pointers(const std::vector<std::string>& strings) {
        std::vector<char*> pointers;
        for (const std::string& string : strings) {
            pointers.push_back(const_cast<char*>(string.c_str()));
        }
        pointers.push_back(nullptr);
        return pointers;
    }

    pid_t m_pid = -1;
};

}  // namespace tamro::test
