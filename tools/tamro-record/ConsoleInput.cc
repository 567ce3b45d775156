#include "ConsoleInput.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace tamro::cli {

ConsoleInput::ConsoleInput() {
    struct stat info {};
    m_readable =
        isatty(STDIN_FILENO) != 0 || (fstat(STDIN_FILENO, &info) == 0 && S_ISFIFO(info.st_mode));
    m_ended = !m_readable;
}

std::optional<std::string> ConsoleInput::NextLine(std::chrono::milliseconds wait) {
    if (auto line = TakeLine())
        return line;
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
    return TakeLine();
}

std::optional<std::string> ConsoleInput::TakeLine() {
    const size_t end = m_pending.find('\n');
    if (end == std::string::npos)
        return std::nullopt;
    std::string line = m_pending.substr(0, end);
    m_pending.erase(0, end + 1);
    return line;
}

}  // namespace tamro::cli
