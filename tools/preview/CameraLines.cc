#include "CameraLines.h"

#include <string_view>

namespace tamro::preview {

CameraLines::CameraLines()
    : m_listener([this](std::string_view text) {
          static constexpr std::string_view kTag = "[CameraCapture] ";
          if (!text.starts_with(kTag))
              return;
          text.remove_prefix(kTag.size());
          std::lock_guard lock(m_mutex);
          m_last.assign(text.substr(0, text.find_last_not_of('\n') + 1));
      }) {}

std::string CameraLines::Last() const {
    std::lock_guard lock(m_mutex);
    return m_last;
}

std::string CameraLines::Failure(const std::string& device) const {
    static constexpr std::string_view kStartFailed = "Start failed: ";
    std::string reason = Last();
    if (reason.starts_with(kStartFailed))
        reason.erase(0, kStartFailed.size());
    // A device node that does not exist, or a test camera the built-in one does not know.
    if (reason.starts_with("No suitable camera found") || reason == "no such camera")
        return "camera '" + device + "' was not found (tamro-record --list shows the cameras)";
    return "camera '" + device + "' could not be started" + (reason.empty() ? "" : ": " + reason);
}

}  // namespace tamro::preview
