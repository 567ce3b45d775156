#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tamro::platform {

// The process's diagnostic stream. Every line goes to standard error (unless muted) and to the
// in-process listeners; tests and embedders read the lines through a listener.
// Thread-safe: lines may come from any thread; a listener is called on the writing thread, never
// concurrently with itself, and must not write debug output itself.
void WriteDebugOutput(std::string_view line);

// Standard error is on by default; an embedder that shows its own display may mute it.
void SetDebugOutputToStandardError(bool enabled);

using DebugOutputListener = std::function<void(std::string_view line)>;

// Registers a listener for the lifetime of the object.
class DebugOutputSubscription {
  public:
    explicit DebugOutputSubscription(DebugOutputListener listener);
    ~DebugOutputSubscription();
    DebugOutputSubscription(const DebugOutputSubscription&) = delete;
    DebugOutputSubscription& operator=(const DebugOutputSubscription&) = delete;

  private:
    int m_id;
};

}  // namespace tamro::platform
