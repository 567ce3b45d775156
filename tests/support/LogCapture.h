#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/DebugOutput.h"

namespace tamro::test {

// Collects the diagnostic lines written while it lives.
class LogCapture {
  public:
    LogCapture()
        : m_subscription([this](std::string_view line) {
              std::lock_guard lock(m_mutex);
              m_lines.emplace_back(line);
          }) {}

    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

    // Lines containing `text`.
    int Count(std::string_view text) const {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }

    bool Contains(std::string_view text) const { return Count(text) > 0; }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    platform::DebugOutputSubscription m_subscription;
};

}  // namespace tamro::test
