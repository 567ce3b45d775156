#pragma once

#include <mutex>
#include <string>

#include "tamro/Diagnostics.h"

namespace tamro::preview {

// The last thing the engine said about a camera while the object lives, for the one line a
// failed start gets.
// Threading: the engine's lines arrive on any thread; Last from any.
class CameraLines {
  public:
    CameraLines();
    CameraLines(const CameraLines&) = delete;
    CameraLines& operator=(const CameraLines&) = delete;

    std::string Last() const;
    // The user's line for a camera that did not start, from what the engine said last.
    std::string Failure(const std::string& device) const;

  private:
    mutable std::mutex m_mutex;
    std::string m_last;
    DiagnosticsListener m_listener;  // last: it goes first, before what it writes to
};

}  // namespace tamro::preview
