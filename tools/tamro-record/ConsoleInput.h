#pragma once

#include <termios.h>

#include <chrono>
#include <optional>
#include <string>

namespace tamro::cli {

// Commands typed on standard input, read without blocking the recording: single keys on a
// terminal (put into non-canonical mode for the object's life, Ctrl-C still signalling), lines
// from a pipe. Enter is the empty command. A file or /dev/null on stdin is not read: it would look
// like commands or an immediate end.
// Threading: one thread.
class ConsoleInput {
  public:
    ConsoleInput();
    ~ConsoleInput();
    ConsoleInput(const ConsoleInput&) = delete;
    ConsoleInput& operator=(const ConsoleInput&) = delete;

    // Keys act at once: a terminal in the foreground.
    bool TakesKeys() const { return m_keys; }
    // The next command, waiting at most `wait` for it; nothing on a time-out. At the end of a
    // pipe, an unfinished line is returned once and then nothing, at once.
    std::optional<std::string> NextCommand(std::chrono::milliseconds wait);
    bool Ended() const { return m_ended; }

  private:
    std::optional<std::string> TakeCommand();

    bool m_keys = false;
    bool m_ended = false;
    std::string m_pending;
    termios m_saved{};
};

}  // namespace tamro::cli
