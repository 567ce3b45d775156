#include "ConsoleInput.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace tamro::cli {

ConsoleInput::ConsoleInput() {
    struct stat info {};
    const bool terminal = isatty(STDIN_FILENO) != 0;
    const bool pipe = !terminal && fstat(STDIN_FILENO, &info) == 0 && S_ISFIFO(info.st_mode);
    m_ended = !terminal && !pipe;
    // A background job that changed the terminal's mode would be stopped by SIGTTOU.
    if (terminal && tcgetpgrp(STDIN_FILENO) == getpgrp() &&
        tcgetattr(STDIN_FILENO, &m_saved) == 0) {
        termios keys = m_saved;
        keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        m_keys = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
    }
}

ConsoleInput::~ConsoleInput() {
    if (m_keys)
        tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
}

std::optional<std::string> ConsoleInput::NextCommand(std::chrono::milliseconds wait) {
    if (auto command = TakeCommand())
        return command;
    if (m_ended)
        return std::nullopt;
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(wait.count())) <= 0)
        return std::nullopt;
    char buffer[256];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
        m_ended = true;
        if (m_pending.empty())
            return std::nullopt;
        return std::exchange(m_pending, {});
    }
    m_pending.append(buffer, static_cast<size_t>(got));
    return TakeCommand();
}

std::optional<std::string> ConsoleInput::TakeCommand() {
    if (m_keys && !m_pending.empty()) {
        const char key = m_pending.front();
        m_pending.erase(0, 1);
        return key == '\n' || key == '\r' ? std::string() : std::string(1, key);
    }
    const size_t end = m_pending.find('\n');
    if (end == std::string::npos)
        return std::nullopt;
    std::string line = m_pending.substr(0, end);
    m_pending.erase(0, end + 1);
    return line;
}

}  // namespace tamro::cli
