#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tamro::cli {

// Lines typed on standard input, read without blocking the recording. Only a terminal or a pipe
// is read: a file or /dev/null on stdin would look like commands or an immediate end.
// Threading: one thread.
class ConsoleInput {
  public:
    ConsoleInput();

    bool Readable() const { return m_readable; }
    // The next complete line, waiting at most `wait` for it; nothing on a time-out. At the end of
    // input, an unfinished line is returned once and then nothing, at once.
    std::optional<std::string> NextLine(std::chrono::milliseconds wait);
    bool Ended() const { return m_ended; }

  private:
    std::optional<std::string> TakeLine();

    bool m_readable = false;
    bool m_ended = false;
    std::string m_pending;
};

}  // namespace tamro::cli
